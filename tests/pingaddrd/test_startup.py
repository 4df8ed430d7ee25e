"""pingaddrd's command line and start-up failures, through the real binary."""

import unittest

import kelsys
from pingaddrdsys import startup_lines

USAGE = (b"Usage: pingaddrd [-c] [-e command] [-t secs] [-l bytes] [-i interface] [-n] [-s] [-h]\n")


NOBODY = ["/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
NO_NET_ADMIN = ["/usr/bin/setpriv", "--inh-caps=-net_admin", "--bounding-set=-net_admin"]


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

    def test_what_the_run_lacks_is_told_before_the_startup_lines(self):
        # The sandbox has lo only: no eth0, the interface -c changes by default.
        no_eth0 = b"No interface named eth0, the one -c changes without -i.\n"
        no_raw = b"Missing CAP_NET_RAW: pingaddrd cannot capture echo requests.\n"
        cases = [
            ([], ["-n", "-c", "-i", "nosuch0"], b"No interface named nosuch0.\n"),
            ([], ["-n", "-c"], no_eth0),
            # Not even detached: the checks come before daemon().
            ([], ["-i", "nosuch0"], b"No interface named nosuch0.\n"),
            (NOBODY, ["-n", "-c"], no_eth0 + no_raw +
             b"Missing CAP_NET_ADMIN: pingaddrd cannot change the address of eth0.\n"),
            (NOBODY, ["-n", "-e", "true"], no_raw),
            (NO_NET_ADMIN, ["-n", "-c", "-i", "lo"],
             b"Missing CAP_NET_ADMIN: pingaddrd cannot change the address of lo.\n"),
        ]
        for wrapper, args, err in cases:
            with self.subTest(wrapper=wrapper, args=args):
                r = kelsys.run(*(wrapper + [kelsys.binary("pingaddrd")] + args)) if wrapper \
                    else kelsys.run("pingaddrd", *args)
                self.assertEqual((r.returncode, r.stderr), (1, err))
        # keld changes the address for -s: neither eth0 nor CAP_NET_ADMIN is needed.
        r = kelsys.run(*(NO_NET_ADMIN + [kelsys.binary("pingaddrd"), "-n", "-c", "-s", "-t", "1"]))
        self.assertEqual((r.returncode, r.stderr), (0, startup_lines(1, change="keld") +
                                                        b"Timed out.\n"))

    def test_a_longer_command_is_cut_to_255_characters(self):
        kept = "echo kept;" + " " * 245
        r = kelsys.run("pingaddrd", "-n", "-t", "1", "-e", kept + "echo lost")
        self.assertEqual((r.returncode, r.stderr),
                         (0, startup_lines(1, command=kept) + b"Timed out.\n"))


if __name__ == "__main__":
    kelsys.main()
