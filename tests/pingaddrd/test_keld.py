"""pingaddrd -s: the address change handed to keld (keld-sim here)."""

import unittest

import kelsys
import pingaddrdsys as pa
from pingaddrdsys import startup_lines

CHAIN = [("kel_set_use_dhcp", [0]), ("kel_set_network_ip", [0, "192.0.2.50"]),
         ("kel_set_network_ip", [1, "255.0.0.0"]), ("kel_set_network_ip", [2, "192.0.2.50"]),
         ("kel_reload_network_setting", [])]
CHANGING = b"Changing IP address on interface eth0 to 192.0.2.50.\n"
ERROR = b"Error changing the IP address via keld\n"


def stored_ip(keld):
    return keld.state().get("network", {}).get("ip", "0.0.0.0")


class KeldCase(unittest.TestCase):
    appliance_if = "eth0"

    def setUp(self):
        self.net = pa.Network(self.appliance_if)

    def tearDown(self):
        self.net.close()

    def run_request(self, *args):
        """Start pingaddrd with args and -e true, send one request, wait for the end."""
        p = pa.start(*args, "-e", "true")
        try:
            pa.wait_started()
            self.net.neighbour("192.0.2.50")
            self.net.ping("192.0.2.50")
            self.assertEqual(pa.finish(p), 0)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        return pa.stderr_text()


class ThroughKeld(KeldCase):
    def test_five_calls_in_order_between_login_and_logout(self):
        with kelsys.KeldSim() as keld:
            err = self.run_request("-c", "-s")
            calls = [(c, a) for c, a, r in keld.calls()]
            self.assertEqual(calls[0], ("kel_connect_unix", ["/tmp/.keld-snmp", 2, "meadow", 6]))
            self.assertEqual(calls[1:-1], CHAIN)
            self.assertEqual(calls[-1][0], "kel_disconnect")
            self.assertTrue(all(r for c, a, r in keld.calls()))
            self.assertEqual(keld.state()["network"],
                             {"ip": "192.0.2.50", "mask": "255.0.0.0", "ip2": "192.0.2.50",
                              "dhcp": False})
        self.assertEqual(err, startup_lines(change="keld", command="true") + CHANGING + b"true exit with 0.\n")
        # keld applies the address; pingaddrd itself leaves the interface alone.
        self.assertEqual(self.net.addresses(), [pa.APPLIANCE_IP])

    def test_a_refused_call_stops_the_chain(self):
        cases = [("kel_set_use_dhcp", 0), ("kel_set_network_ip:0", 1), ("kel_set_network_ip:1", 2),
                 ("kel_set_network_ip:2", 3), ("kel_reload_network_setting", 4)]
        for refused, position in cases:
            with self.subTest(refused=refused), kelsys.KeldSim({"fail": [refused]}) as keld:
                err = self.run_request("-c", "-s")
                calls = keld.calls()
                made = [(c, a) for c, a, r in calls[1:-1]]
                self.assertEqual(made, CHAIN[:position + 1])
                self.assertEqual(calls[-2][2], 0)
                self.assertEqual(calls[-1][0], "kel_disconnect")
                # What was stored before the refusal stays stored.
                self.assertEqual(stored_ip(keld),
                                 "192.0.2.50" if position > 1 else "0.0.0.0")
                self.assertEqual(err, startup_lines(change="keld", command="true") + CHANGING + ERROR +
                                 b"true exit with 0.\n")

    def test_refused_login_makes_no_change(self):
        with kelsys.KeldSim({"fail": ["kel_connect_unix"]}) as keld:
            err = self.run_request("-c", "-s")
            self.assertEqual(keld.call_names(), ["kel_connect_unix", "kel_disconnect"])
            self.assertEqual(stored_ip(keld), "0.0.0.0")
        self.assertEqual(err, startup_lines(change="keld", command="true") + CHANGING +
                         kelsys.REFUSED.encode() + b"Cannot open connection to keld\n"
                         b"true exit with 0.\n")

    def test_keld_not_running_still_runs_the_command(self):
        err = self.run_request("-c", "-s")
        self.assertEqual(err, startup_lines(change="keld", command="true") + CHANGING + kelsys.ABSENT.encode() +
                         b"Cannot open connection to keld\ntrue exit with 0.\n")
        self.assertEqual(self.net.addresses(), [pa.APPLIANCE_IP])

    def test_keld_without_change_is_not_asked(self):
        with kelsys.KeldSim() as keld:
            err = self.run_request("-s")
            self.assertEqual(keld.calls(), [])
        self.assertEqual(err, startup_lines(command="true") + b"true exit with 0.\n")


class OtherInterface(KeldCase):
    appliance_if = "lan0"

    def test_the_same_settings_whatever_the_interface(self):
        with kelsys.KeldSim() as keld:
            err = self.run_request("-c", "-s", "-i", "lan0")
            self.assertEqual([(c, a) for c, a, r in keld.calls()][1:-1], CHAIN)
        self.assertEqual(err, startup_lines(change="keld", command="true", on="lan0") +
                         CHANGING.replace(b"eth0", b"lan0") + b"true exit with 0.\n")


if __name__ == "__main__":
    kelsys.main()
