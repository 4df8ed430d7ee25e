"""mkevent against keld-sim: the login, the conversions, the camera list and every status."""

import unittest

import kelsys
from kelsys import KeldSim
from toolssys import keld_down_cases, tool

PASSWORD = "s3cret word"
STATE = {"password": PASSWORD}
USAGE = ("Usage: %s <password> <sensor type> <port> <value> <raw value> <status> "
         "<degree type> <source IP> <camera list>\n")
# The login's lines, then mkevent's own.
REFUSED = "keld refused the login on /tmp/.keld\nInvalid password\n"
ABSENT = "keld does not answer on /tmp/.keld\nConnection error\n"
GOOD = [PASSWORD, "1", "3", "291", "1164", "2", "0", "192.168.7.20", "0,2"]


def with_args(**changes):
    """GOOD with some positions replaced, by name."""
    names = ["password", "type", "port", "value", "raw", "status", "degree", "source", "cameras"]
    args = list(GOOD)
    for name, value in changes.items():
        args[names.index(name)] = value
    return args


class Statuses(unittest.TestCase):
    def test_every_exit_status(self):
        cases = [
            ("accepted", STATE, GOOD, 0, ""),
            ("no arguments", STATE, [], 1, USAGE % "mkevent"),
            ("eight arguments", STATE, GOOD[:8], 1, USAGE % "mkevent"),
            ("ten arguments", STATE, GOOD + ["x"], 1, USAGE % "mkevent"),
            ("wrong password", STATE, with_args(password="s3cret"), 3, REFUSED),
            ("password prefix", STATE, with_args(password=PASSWORD + "!"), 3,
             REFUSED),
            ("no password set", {}, GOOD, 3, REFUSED),
            ("logins refused", dict(STATE, fail=["kel_connect_unix"]), GOOD, 3,
             REFUSED),
            ("bad camera", STATE, with_args(cameras="1,32"), 4, "Invalid camera '32'\n"),
            ("event refused", dict(STATE, fail=["kel_make_event"]), GOOD, 5,
             "Error making event\n"),
        ]
        for label, state, args, status, err in cases:
            with self.subTest(label), KeldSim(state) as sim:
                self.assertEqual(tool("mkevent", *args), (status, "", err))
                made = sim.state().get("events", [])
                self.assertEqual(len(made), 1 if status == 0 else 0)
                names = sim.call_names()
                if status == 1:
                    self.assertEqual(names, [], "usage never contacts keld")
                elif status == 3:
                    self.assertEqual(names, ["kel_connect_unix", "kel_disconnect"])
                elif status == 4:
                    # The process ends without saying goodbye.
                    self.assertEqual(names, ["kel_connect_unix"])
                else:
                    self.assertEqual(names, ["kel_connect_unix", "kel_make_event",
                                             "kel_disconnect"])

    def test_usage_names_the_program_by_its_base_name(self):
        for argv0, name in (("/usr/local/bin/inject", "inject"), ("mkevent", "mkevent"),
                            ("./x/y/mkevent", "mkevent")):
            with self.subTest(argv0=argv0):
                self.assertEqual(tool("mkevent", "a", argv0=argv0), (1, "", USAGE % name))

    def test_password_from_standard_input_and_too_long(self):
        rest = GOOD[1:]
        cases = [
            (PASSWORD + "\n", 0, ""),
            (PASSWORD, 0, ""),
            ("s3cret\n", 3, REFUSED),
            ("", 3, REFUSED),
        ]
        with KeldSim(STATE) as sim:
            for given, status, err in cases:
                with self.subTest(given=given):
                    r = kelsys.run("mkevent", "-", *rest, input=given.encode())
                    self.assertEqual((r.returncode, r.stdout.decode(), r.stderr.decode()),
                                     (status, "", err))
            self.assertEqual(sim.calls("kel_connect_unix")[0][1],
                             ["/tmp/.keld", 2, PASSWORD, len(PASSWORD)])
            self.assertEqual(len(sim.state()["events"]), 2)
            # Past what any keld takes: refused as a password, not told as
            # an unreachable keld.
            long_refusal = "Password longer than 1024 bytes\nInvalid password\n"
            self.assertEqual(tool("mkevent", "x" * 65536, *rest), (3, "", long_refusal))
            r = kelsys.run("mkevent", "-", *rest, input=b"x" * 1025 + b"\n")
            self.assertEqual((r.returncode, r.stderr.decode()), (3, long_refusal))

    def test_unreachable_keld_is_status_2(self):
        for label in keld_down_cases():
            with self.subTest(label):
                self.assertEqual(tool("mkevent", *GOOD), (2, "", ABSENT))

    def test_the_login_comes_before_the_arguments(self):
        with KeldSim(STATE) as sim:
            # A wrong password wins over a bad camera list.
            self.assertEqual(tool("mkevent", *with_args(password="no", cameras="99")),
                             (3, "", REFUSED))
            self.assertEqual(sim.calls("kel_connect_unix")[0][1], ["/tmp/.keld", 2, "no", 2])
            self.assertEqual(tool("mkevent", *GOOD), (0, "", ""))
            self.assertEqual(sim.calls("kel_connect_unix")[1][1],
                             ["/tmp/.keld", 2, PASSWORD, len(PASSWORD)])
        for label in keld_down_cases():
            with self.subTest(label):
                self.assertEqual(tool("mkevent", *with_args(cameras="x")),
                                 (2, "", ABSENT))


class EventTest(unittest.TestCase):
    def event_of(self, sim, args):
        """Run mkevent, which must succeed; return the one event it made."""
        before = len(sim.state().get("events", []))
        self.assertEqual(tool("mkevent", *args), (0, "", ""))
        events = sim.state()["events"]
        self.assertEqual(len(events), before + 1)
        return events[-1]


class EventFields(EventTest):
    GOOD_EVENT = {"type": 1, "port": 3, "value": 291, "raw": 1164, "status": 2, "degree": 0,
                  "source": "192.168.7.20", "cameras": 5}

    def test_fields_are_passed_in_order(self):
        with KeldSim(STATE) as sim:
            self.assertEqual(self.event_of(sim, GOOD), self.GOOD_EVENT)
            self.assertEqual(sim.calls("kel_make_event")[0][1][:6], [1, 3, 291, 1164, 2, 0])

    NAMES = {"type": "sensor type", "port": "port", "value": "value", "raw": "raw value",
             "status": "status", "degree": "degree type"}

    def test_whole_numbers_are_taken_and_typos_refused(self):
        taken = [(" -7", -7), ("+8", 8), ("99999999999", 2147483647),
                 ("-99999999999", -2147483648)]
        refused = ["12abc", "abc", "", "0x10", "4 5", "-"]
        with KeldSim(STATE) as sim:
            for name in self.NAMES:
                for text, number in taken:
                    with self.subTest(field=name, text=text):
                        self.assertEqual(self.event_of(sim, with_args(**{name: text})),
                                         dict(self.GOOD_EVENT, **{name: number}))
            made = len(sim.state()["events"])
            for i, text in enumerate(refused):
                name = list(self.NAMES)[i % len(self.NAMES)]
                with self.subTest(field=name, text=text):
                    self.assertEqual(tool("mkevent", *with_args(**{name: text})),
                                     (1, "", "Invalid %s '%s'\n" % (self.NAMES[name], text)))
            self.assertEqual(len(sim.state()["events"]), made, "a typo makes no event")

    def test_source_addresses(self):
        taken = [
            ("192.168.7.20", "192.168.7.20"), ("10.1", "10.0.0.1"), ("0.0.0.0", "0.0.0.0"),
            ("255.255.255.255", "0.0.0.0"), ("255.255.255.254", "255.255.255.254"),
        ]
        with KeldSim(STATE) as sim:
            for text, stored in taken:
                with self.subTest(text=text):
                    self.assertEqual(self.event_of(sim, with_args(source=text))["source"], stored)
            made = len(sim.state()["events"])
            for text in ("not-an-ip", "", "1.2.3.256", "192.0.2.1 x"):
                with self.subTest(text=text):
                    self.assertEqual(tool("mkevent", *with_args(source=text)),
                                     (1, "", "Invalid source IP '%s'\n" % text))
            self.assertEqual(len(sim.state()["events"]), made)


class CameraList(EventTest):
    def test_accepted_lists_give_their_mask(self):
        cases = [
            ("", 0), (",", 0), (",,,", 0), ("0", 1), ("31", 1 << 31), ("0,31", (1 << 31) | 1),
            ("1,1", 2), (",,1,,2,", 6), (" 3", 8), ("+3", 8), ("5, 6", 0x60),
            (",".join(str(n) for n in range(32)), 0xFFFFFFFF), ("007", 0x80),
        ]
        with KeldSim(STATE) as sim:
            for text, mask in cases:
                with self.subTest(text=text):
                    self.assertEqual(self.event_of(sim, with_args(cameras=text))["cameras"], mask)

    def test_bad_entries_end_with_status_4(self):
        cases = [
            ("32", "32"), ("-1", "-1"), ("3x", "3x"), ("3 ", "3 "), ("1,2,32,40", "32"),
            ("1,,abc", "abc"), (" ", " "), ("+", "+"), ("99999999999", "99999999999"),
            ("1;2", "1;2"),
        ]
        with KeldSim(STATE) as sim:
            for text, entry in cases:
                with self.subTest(text=text):
                    self.assertEqual(tool("mkevent", *with_args(cameras=text)),
                                     (4, "", "Invalid camera '%s'\n" % entry))
            self.assertEqual(sim.calls("kel_make_event"), [])
            self.assertEqual(sim.state().get("events", []), [])


if __name__ == "__main__":
    kelsys.main()
