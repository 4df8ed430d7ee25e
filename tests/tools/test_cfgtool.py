"""cfgtool against keld-sim: parsing, messages, exit statuses and what reached keld."""

import time
import unittest

import kelsys
from kelsys import KeldSim
from toolssys import keld_down_cases, setting_calls, tool

USAGE_LINES = (
    "  -c\t\t\t\tDelete database\n"
    "  -d <0|1>\t\t\tSet DHCP to On (1) or Off (0)\n"
    "  -h\t\t\t\tPrint this usage\n"
    "  -i <0|1>\t\t\tSet Use Camera to On (1) or Off (0)\n"
    "  -m <manufacturer name>\tSet the manufacturer name\n"
    "  -p <product name>\t\tSet the product name\n"
    "  -s <system description>\tSet the system description\n"
    "  -t <timezone number>\t\tSet the timezone\n"
    "  -u <help url>\t\t\tSet the help url\n"
)


def usage(name="cfgtool"):
    return "Usage: %s [OPTION]\n" % name + USAGE_LINES


# Every setting option with an accepted value, the call it makes, the
# arguments keld sees, the state field it changes and the message when
# keld refuses it.
SETTINGS = [
    ("-d", "1", "kel_set_use_dhcp", [1], ("network", "dhcp"), True, "Error: dhcp\n"),
    ("-m", "Acme", "kel_set_manuf_name", ["Acme", 5], ("manuf_name",), "Acme",
     "Error: manuf_name\n"),
    ("-p", "KM-4", "kel_set_product_name", ["KM-4", 5], ("product_name",), "KM-4",
     "Error: product_name\n"),
    ("-s", "Rack 3, room B", "kel_set_system_description", ["Rack 3, room B", 15],
     ("system_description",), "Rack 3, room B", "Error: system_desc\n"),
    ("-t", "7", "kel_set_time_zone", [7], ("time_zone",), 7, "Error: timezone\n"),
    ("-u", "http://help/x?a=b", "kel_set_help_url", ["http://help/x?a=b", 18], ("help_url",),
     "http://help/x?a=b", "Error: url\n"),
    ("-i", "1", "kel_set_camera_enable", [1], ("camera_enable",), True, "Error: use_camera\n"),
]
ALL_OPTIONS = [arg for s in SETTINGS for arg in s[:2]]


def field(state, path):
    for key in path:
        state = state[key]
    return state


class Usage(unittest.TestCase):
    def test_usage_alone_and_by_h(self):
        cases = [
            ((), "cfgtool", None),
            (("-h",), "cfgtool", None),
            (("-d", "1", "-h", "-m", "x"), "cfgtool", None),
            ((), "settings", "/opt/tools/settings"),
            (("-h",), "cfg", "cfg"),
        ]
        with KeldSim() as sim:
            for args, name, argv0 in cases:
                with self.subTest(args=args, argv0=argv0):
                    self.assertEqual(tool("cfgtool", *args, argv0=argv0), (0, usage(name), ""))
            self.assertEqual(sim.calls(), [], "the usage text never contacts keld")

    def test_h_against_a_bad_value_goes_by_order(self):
        cases = [
            (("-h", "-d", "2"), (0, usage(), "")),
            (("-d", "2", "-h"), (1, "", "Invalid dhcp option: 2\n")),
            (("-h", "-t", "-1"), (0, usage(), "")),
            (("-i", "9", "-h"), (1, "", "Invalid use camera option: 9\n")),
        ]
        with KeldSim() as sim:
            for args, want in cases:
                with self.subTest(args=args):
                    self.assertEqual(tool("cfgtool", *args), want)
            self.assertEqual(sim.calls(), [])


class CommandLineErrors(unittest.TestCase):
    def test_bad_values_are_refused_before_keld(self):
        cases = [
            ("-d", "2", "Invalid dhcp option: 2\n"),
            ("-d", "-1", "Invalid dhcp option: -1\n"),
            ("-d", "1x", "Invalid dhcp option: 1x\n"),
            ("-d", "1 ", "Invalid dhcp option: 1 \n"),
            ("-d", " ", "Invalid dhcp option:  \n"),
            ("-i", "2", "Invalid use camera option: 2\n"),
            ("-i", "on", "Invalid use camera option: on\n"),
            ("-t", "-1", "Invalid timezone option: -1\n"),
            ("-t", "5h", "Invalid timezone option: 5h\n"),
            ("-t", "-99999999999", "Invalid timezone option: -99999999999\n"),
        ]
        with KeldSim() as sim:
            for opt, value, message in cases:
                with self.subTest(opt=opt, value=value):
                    # Good options before and after: the run still ends at once.
                    self.assertEqual(tool("cfgtool", "-m", "x", opt, value, "-u", "y"),
                                     (1, "", message))
            self.assertEqual(sim.calls(), [])
            self.assertEqual(sim.state().get("manuf_name", ""), "")

    def test_missing_argument_and_unknown_option(self):
        cases = [(letter, "Missing argument for option `%s'\n" % letter) for letter in "dimpstu"]
        cases += [("x", "Unknown option `-x'\n"), ("D", "Unknown option `-D'\n"),
                  ("?", "Unknown option `-?'\n")]
        with KeldSim() as sim:
            for letter, message in cases:
                with self.subTest(letter=letter):
                    # The option comes last so that a missing argument is missing.
                    status, out, err = tool("cfgtool", "-d", "1", "-" + letter)
                    self.assertEqual((status, out), (1, ""))
                    lines = err.splitlines(keepends=True)
                    self.assertEqual(len(lines), 2, err)
                    self.assertIn("cfgtool", lines[0], "getopt's own diagnostic comes first")
                    self.assertEqual(lines[1], message)
            self.assertEqual(sim.calls(), [])


class Settings(unittest.TestCase):
    def test_whole_number_conversions(self):
        cases = [
            ("-d", "0", "kel_set_use_dhcp", 0),
            ("-d", " 1", "kel_set_use_dhcp", 1),
            ("-d", "", "kel_set_use_dhcp", 0),
            ("-d", "+1", "kel_set_use_dhcp", 1),
            ("-i", "0", "kel_set_camera_enable", 0),
            ("-i", "", "kel_set_camera_enable", 0),
            ("-t", "+5", "kel_set_time_zone", 5),
            ("-t", "-0", "kel_set_time_zone", 0),
            ("-t", "", "kel_set_time_zone", 0),
            ("-t", "0012", "kel_set_time_zone", 12),
            ("-t", "2147483647", "kel_set_time_zone", 2147483647),
            ("-t", "99999999999", "kel_set_time_zone", 2147483647),
        ]
        with KeldSim({"network": {"dhcp": True}, "camera_enable": True, "time_zone": 3}) as sim:
            for opt, value, call, sent in cases:
                with self.subTest(opt=opt, value=value):
                    before = len(sim.calls())
                    self.assertEqual(tool("cfgtool", opt, value), (0, "", ""))
                    made = [(c, a) for c, a, _ in sim.calls()[before:] if c == call]
                    self.assertEqual(made, [(call, [sent])])

    def test_texts_are_sent_unchecked_with_their_terminator_counted(self):
        texts = ["", " ", "-d", "tab\there", "\u00e9t\u00e9 caf\u00e9", "x" * 300, "%s%n%d"]
        with KeldSim() as sim:
            for text in texts:
                with self.subTest(text=text[:20]):
                    size = len(text.encode()) + 1
                    before = len(sim.calls())
                    self.assertEqual(tool("cfgtool", "-m", text, "-p", text, "-s", text,
                                          "-u", text), (0, "", ""))
                    made = [(c, a) for c, a, _ in sim.calls()[before:]][1:-1]
                    self.assertEqual(made, [
                        ("kel_set_manuf_name", [text, size]),
                        ("kel_set_product_name", [text, size]),
                        ("kel_set_system_description", [text, size]),
                        ("kel_set_help_url", [text, size]),
                    ])
                    state = sim.state()
                    for key in ("manuf_name", "product_name", "system_description", "help_url"):
                        self.assertEqual(state[key], text)

    def test_calls_follow_a_fixed_order_and_the_last_option_counts(self):
        backwards = [a for i in range(len(ALL_OPTIONS) - 2, -1, -2) for a in ALL_OPTIONS[i:i + 2]]
        cases = [
            (["-i", "1", "-d", "0"], ["kel_set_use_dhcp", "kel_set_camera_enable"]),
            (["-u", "U", "-t", "4"], ["kel_set_time_zone", "kel_set_help_url"]),
            (backwards, [s[2] for s in SETTINGS]),
        ]
        for args, names in cases:
            with self.subTest(args=args), KeldSim() as sim:
                self.assertEqual(tool("cfgtool", *args), (0, "", ""))
                self.assertEqual(sim.call_names(),
                                 ["kel_connect_unix"] + names + ["kel_disconnect"])
        with KeldSim() as sim:
            self.assertEqual(tool("cfgtool", "-d", "1", "-m", "a", "-d", "0", "-m", "b", "-t", "3",
                                  "-t", "8"), (0, "", ""))
            self.assertEqual(setting_calls(sim), [("kel_set_use_dhcp", [0]),
                                                  ("kel_set_manuf_name", ["b", 2]),
                                                  ("kel_set_time_zone", [8])])
            state = sim.state()
            self.assertEqual((state["network"]["dhcp"], state["manuf_name"], state["time_zone"]),
                             (False, "b", 8))

    def test_every_setting_is_tried_and_a_refusal_fails_the_run(self):
        cases = [[]] + [[s] for s in SETTINGS] + [[SETTINGS[1], SETTINGS[4]], SETTINGS]
        for refused in cases:
            names = [s[2] for s in refused]
            with self.subTest(refused=names), KeldSim({"fail": names}) as sim:
                self.assertEqual(tool("cfgtool", *ALL_OPTIONS),
                                 (1 if refused else 0, "", "".join(s[6] for s in refused)))
                self.assertEqual(sim.calls("kel_connect_unix")[0][1],
                                 ["/tmp/.keld-snmp", 2, "meadow", 6])
                self.assertEqual(setting_calls(sim), [(s[2], s[3]) for s in SETTINGS])
                self.assertEqual(sim.call_names()[-1], "kel_disconnect")
                state = sim.state()
                for _, _, call, _, path, stored, _ in SETTINGS:
                    if call not in names:
                        self.assertEqual(field(state, path), stored, call)

    def test_words_left_over_are_refused_before_keld(self):
        cases = [(["extra", "words"], "extra"), (["-s", "Rack", "3"], "3"),
                 (["-d", "1", "", "-m", "x"], "")]
        with KeldSim() as sim:
            for args, word in cases:
                with self.subTest(args=args):
                    self.assertEqual(tool("cfgtool", *args),
                                     (1, "", "Unexpected argument `%s'\n" % word))
            self.assertEqual(sim.calls(), [])

    def test_a_slow_keld_meets_one_bound_for_the_run(self):
        # Each answer just inside libkel's bound for a call: seven settings
        # would take half a minute.
        def slow(conn, payload):
            time.sleep(2.9)
            conn.sendall(kelsys.reply(1))
        kelsys.scripted_keld(self, slow)
        status, out, err = tool("cfgtool", *ALL_OPTIONS)
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.endswith("keld took more than 10 s; gave up\n"), err)

    def test_a_refused_community_is_as_no_daemon(self):
        with KeldSim({"community": "other"}) as sim:
            self.assertEqual(tool("cfgtool", "-d", "1", "-t", "2"),
                             (1, "", kelsys.REFUSED + "Cannot connect to keld\n"))
            self.assertEqual(sim.call_names(), ["kel_connect_unix", "kel_disconnect"])


class ClearDatabase(unittest.TestCase):
    STATE = {"settings": {"MGETTY-PORT": "3"}, "manuf_name": "Old"}

    def test_clear_ignores_the_other_settings(self):
        cases = [["-c"], ["-c", "-m", "New"], ["-m", "New", "-c", "-d", "1", "-t", "4"]]
        for args in cases:
            with self.subTest(args=args), KeldSim(self.STATE) as sim:
                self.assertEqual(tool("cfgtool", *args), (0, "", ""))
                self.assertEqual(setting_calls(sim), [("kel_run_keld_command", ["deleteDB", 9])])
                self.assertEqual(sim.call_names()[-1], "kel_disconnect")
                state = sim.state()
                self.assertEqual((state["db_clears"], state["settings"], state["manuf_name"]),
                                 (1, {}, "Old"))

    def test_clear_is_still_checked_and_a_refusal_is_status_0(self):
        with KeldSim(self.STATE) as sim:
            self.assertEqual(tool("cfgtool", "-c", "-d", "5"),
                             (1, "", "Invalid dhcp option: 5\n"))
            self.assertEqual(sim.calls(), [])
            self.assertEqual(sim.state().get("db_clears", 0), 0)
        with KeldSim(dict(self.STATE, fail=["kel_run_keld_command"])) as sim:
            self.assertEqual(tool("cfgtool", "-c"), (0, "", "Error: clear_db\n"))
            self.assertEqual(sim.call_names(),
                             ["kel_connect_unix", "kel_run_keld_command", "kel_disconnect"])
            self.assertEqual(sim.state()["settings"], {"MGETTY-PORT": "3"})


class KeldDown(unittest.TestCase):
    def test_unreachable_keld_is_status_1(self):
        for label in keld_down_cases():
            for args in (["-d", "1"], ["-c"], ["-m", "x"]):
                with self.subTest(label=label, args=args):
                    self.assertEqual(tool("cfgtool", *args), (1, "", kelsys.ABSENT + "Cannot connect to keld\n"))


if __name__ == "__main__":
    kelsys.main()
