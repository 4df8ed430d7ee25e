"""pppctl against keld-sim: announcements, the usage text, and what keld was asked."""

import unittest

import kelsys
from kelsys import KeldSim
from toolssys import keld_down_cases, tool

USAGE = ("Usage : pppctl [command] [serial_port] [connect_to] \n"
         "        command: (1)connect to isp, (3)disconnected\n"
         "        serial_port: 0, 1\n"
         "        connect_to: 1(isp), 2(gprs), 3(custom)\n")


class Requests(unittest.TestCase):
    def test_each_announcement_and_the_request_passed_on(self):
        cases = [
            (("1", "0", "1"), "/dev/ttySMX0 : Connecting to ISP.\n", (1, 0, 1)),
            (("3", "1", "2"), "/dev/ttySMX1 : Mobile GPRS : Disconnected.\n", (3, 1, 2)),
            (("1", "0", "0"), "/dev/ttySMX0 : Connecting to .\n", (1, 0, 0)),
            (("3", "0", "1"), "/dev/ttySMX0 : ISP : Disconnected.\n", (3, 0, 1)),
            (("1", "1", "2"), "/dev/ttySMX1 : Connecting to Mobile GPRS.\n", (1, 1, 2)),
            (("1", "5", "1"), "/dev/ttySMX5 : Connecting to ISP.\n", (1, 5, 1)),
            (("1", "0", "3"), "/dev/ttySMX0 : Connecting to custom.\n", (1, 0, 3)),
            (("3", "1", "3"), "/dev/ttySMX1 : custom : Disconnected.\n", (3, 1, 3)),
            # White space before a number and a sign are taken.
            (("+3", " 1", "+2"), "/dev/ttySMX1 : Mobile GPRS : Disconnected.\n", (3, 1, 2)),
        ]
        for args, announced, asked in cases:
            with self.subTest(args=args), KeldSim() as sim:
                self.assertEqual(tool("pppctl", *args), (0, announced, ""))
                self.assertEqual(sim.calls("kel_connect_unix")[0][1],
                                 ["/tmp/.keld-snmp", 2, "meadow", 6])
                self.assertEqual(sim.call_names(),
                                 ["kel_connect_unix", "kel_ppp_command", "kel_disconnect"])
                self.assertEqual(sim.calls("kel_ppp_command")[0][1], list(asked))
                self.assertEqual(sim.state()["ppp_commands"],
                                 [dict(zip(("command", "port", "connect_to"), asked))])

    def test_a_refused_request_is_still_status_0(self):
        for args, announced in ((("1", "0", "1"), "/dev/ttySMX0 : Connecting to ISP.\n"),
                                (("3", "1", "3"), "/dev/ttySMX1 : custom : Disconnected.\n")):
            with self.subTest(args=args), KeldSim({"fail": ["kel_ppp_command"]}) as sim:
                self.assertEqual(tool("pppctl", *args),
                                 (0, announced + "call libkel failed!\n", ""))
                self.assertEqual(sim.call_names(),
                                 ["kel_connect_unix", "kel_ppp_command", "kel_disconnect"])
                self.assertEqual(sim.state().get("ppp_commands", []), [])


class Usage(unittest.TestCase):
    def test_wrong_argument_counts(self):
        with KeldSim() as sim:
            for args in ((), ("1",), ("1", "0"), ("1", "0", "1", "1"), ("3", "1", "2", "")):
                with self.subTest(args=args):
                    self.assertEqual(tool("pppctl", *args), (1, USAGE, ""))
            self.assertEqual(sim.calls(), [], "a wrong count never contacts keld")

    def test_typos_are_refused_after_the_connection(self):
        cases = [
            (("2", "0", "1"), "command '2'"), (("abc", "0", "1"), "command 'abc'"),
            (("1x", "0", "1"), "command '1x'"), (("", "0", "1"), "command ''"),
            (("1", "x", "1"), "serial_port 'x'"), (("1", "-2", "1"), "serial_port '-2'"),
            (("3", "1 ", "1"), "serial_port '1 '"), (("1", "7", "9"), "connect_to '9'"),
            (("1", "0", "-1"), "connect_to '-1'"), (("1", "0", "2abc"), "connect_to '2abc'"),
        ]
        with KeldSim() as sim:
            for args, wrong in cases:
                with self.subTest(args=args):
                    before = len(sim.calls())
                    self.assertEqual(tool("pppctl", *args),
                                     (1, "Invalid %s\n" % wrong + USAGE, ""))
                    # Connected, asked nothing, and left without a goodbye.
                    self.assertEqual([c[0] for c in sim.calls()[before:]], ["kel_connect_unix"])
            self.assertEqual(sim.state().get("ppp_commands", []), [])

    def test_keld_down_comes_before_the_command_check(self):
        for label in keld_down_cases():
            for args in (("1", "0", "1"), ("3", "1", "2"), ("2", "0", "1"), ("abc", "0", "1")):
                with self.subTest(label=label, args=args):
                    self.assertEqual(tool("pppctl", *args),
                                     (1, kelsys.ABSENT + "Cannot connect to keld\n", ""))
            with self.subTest(label=label, args="none"):
                self.assertEqual(tool("pppctl"), (1, USAGE, ""))

    def test_a_refused_login_is_as_keld_down(self):
        with KeldSim({"community": "other"}) as sim:
            self.assertEqual(tool("pppctl", "1", "0", "1"),
                             (1, kelsys.REFUSED + "Cannot connect to keld\n", ""))
            self.assertEqual(sim.call_names(), ["kel_connect_unix", "kel_disconnect"])


if __name__ == "__main__":
    kelsys.main()
