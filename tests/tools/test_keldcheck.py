"""keldcheck: its exit status alone tells whether keld answers."""

import unittest

from kelsys import KeldSim, main, run


class Keldcheck(unittest.TestCase):
    def check(self, want_status, args=()):
        r = run("keldcheck", *args)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (want_status, b"", b""))

    def test_daemon_answering(self):
        with KeldSim({}) as sim:
            self.check(0)
            self.check(0, ["-x", "ignored", "arguments"])
            names = sim.call_names()
            self.assertEqual(names, ["kel_connect_unix", "kel_noop", "kel_disconnect"] * 2)
            self.assertEqual(sim.calls()[0][1], ["/tmp/.keld-snmp", 2, "meadow", 6])

    def test_daemon_not_running(self):
        self.check(1)
        with KeldSim({}):
            pass                     # leaves no socket behind
        self.check(1)

    def test_noop_failing_still_disconnects(self):
        with KeldSim({"fail": ["kel_noop"]}) as sim:
            self.check(1)
            self.assertEqual(sim.calls(), [
                ("kel_connect_unix", ["/tmp/.keld-snmp", 2, "meadow", 6], 1),
                ("kel_noop", [], 0),
                ("kel_disconnect", [], 1)])

    def test_login_refused(self):
        # A refused login fails as no daemon does, and asks nothing more.
        with KeldSim({"community": "other"}) as sim:
            self.check(1)
            self.assertEqual([c[:3:2] for c in sim.calls()],
                             [("kel_connect_unix", 0), ("kel_disconnect", 1)])


if __name__ == "__main__":
    main()
