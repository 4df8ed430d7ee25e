"""pingaddrd's command line and start-up failures, through the real binary."""

import unittest

import kelsys
from pingaddrdsys import startup_lines

USAGE = (b"Usage: pingaddrd [-c] [-e command] [-t secs] [-l bytes] [-i interface] [-n] [-s] [-h]\n")


def twice(call, error):
    return ("%s: %s\n%s: %s.\n" % (call, error, call, error)).encode()


class Startup(unittest.TestCase):
    def test_command_line_outcomes(self):
        cases = [
            (["-h"], 0, USAGE, b""),
            (["-t", "0", "-h"], 1, b"", b"Invalid timeout argument.\n"),
            (["-q"], 1, b"", b"pingaddrd: invalid option -- 'q'\n" + USAGE),
            (["-n", "-i"], 1, b"", b"pingaddrd: option requires an argument -- 'i'\n" + USAGE),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                r = kelsys.run("pingaddrd", *args, argv0="pingaddrd")
                self.assertEqual((r.returncode, r.stdout, r.stderr), (status, out, err))

    def test_setup_failures_end_before_the_startup_lines(self):
        r = kelsys.run("pingaddrd", "-n", "-c", "-i", "nosuch0")
        self.assertEqual((r.returncode, r.stderr), (1, twice("SIOCGIFINDEX", "No such device")))
        r = kelsys.run("/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       kelsys.binary("pingaddrd"), "-n", "-c")
        self.assertEqual((r.returncode, r.stderr), (1, twice("socket", "Operation not permitted")))
        # Not even detached: the failures come before daemon().
        r = kelsys.run("pingaddrd", "-i", "nosuch0")
        self.assertEqual((r.returncode, r.stderr), (1, twice("SIOCGIFINDEX", "No such device")))

    def test_a_longer_command_is_cut_to_255_characters(self):
        kept = "echo kept;" + " " * 245
        r = kelsys.run("pingaddrd", "-n", "-t", "1", "-e", kept + "echo lost")
        self.assertEqual((r.returncode, r.stderr),
                         (0, startup_lines(1, command=kept) + b"Timed out.\n"))


if __name__ == "__main__":
    kelsys.main()
