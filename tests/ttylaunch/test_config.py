"""ttylaunch's configuration side against keld-sim: the mgetty configuration
and the pppd options files it writes, what it refuses to write, and how it
ends when no line is enabled or keld is not there."""

import os
import pwd
import select
import shutil
import socket
import unittest

import kelsys
import ttylaunchsys as tl


def clean_etc():
    for path in [tl.CONFIG] + [tl.options_path(p) for p in range(4)]:
        if os.path.islink(path):
            os.unlink(path)
        elif os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.unlink(path)


class Configuration(unittest.TestCase):
    def setUp(self):
        clean_etc()
        tl.install_standin()

    def run_once(self, st):
        """Run the launcher with no line enabled; return its status and output."""
        with kelsys.KeldSim(st) as sim:
            status, out, err = tl.finish(tl.launch())
            self.sim_calls = sim.calls()
            self.sim_connections = tl.connections(sim)
            self.sim_disconnects = len(sim.calls("kel_disconnect"))
            self.sim_questions = tl.port_questions(sim)
        return status, out

    def test_example_configuration_to_the_byte(self):
        status, out = self.run_once(tl.state("0", inits={0: "ATZ", 2: "AT&F"}))
        self.assertEqual(status, 0)
        self.assertEqual(out, b"")
        self.assertEqual(tl.read(tl.CONFIG),
                         b'debug 0\nspeed 38400\n\n'
                         b'port ttySMX0\n    init-chat "" ATZ OK\n\n'
                         b'port rfcomm0\n    init-chat "" AT&F OK\n\n')
        self.assertEqual(os.stat(tl.CONFIG).st_mode & 0o777, 0o666 & ~current_umask())
        # keld-sim takes any login and read constant: check what was sent.
        self.assertLessEqual({"kel_connect_unix", "kel_db_get", "kel_get_network_ip"},
                             {call for call, _, _ in self.sim_calls})
        for call, args, result in self.sim_calls:
            with self.subTest(call=call, args=args):
                if call == "kel_connect_unix":
                    self.assertEqual(args, ["/tmp/.keld-snmp", 2, "meadow", 6])
                elif call == "kel_db_get":
                    self.assertEqual(args[1], 2)
                elif call == "kel_get_network_ip":
                    self.assertEqual(args, [0])

    def test_stanzas(self):
        cases = [
            ("no init strings", {}, b""),
            ("empty ones give none", {0: "", 3: ""}, b""),
            ("blanks verbatim, disabled port too", {1: "AT &F  E0 %d"},
             b'port ttySMX1\n    init-chat "" AT &F  E0 %d OK\n\n'),
            ("all four in port order", {3: "A3", 0: "A0", 2: "A2", 1: "A1"},
             b"".join(b'port %s\n    init-chat "" A%d OK\n\n' % (t.encode(), n)
                      for n, t in enumerate(tl.TTYS))),
        ]
        for name, inits, stanzas in cases:
            with self.subTest(name):
                clean_etc()
                status, out = self.run_once(tl.state("0", inits=inits))
                self.assertEqual(status, 0)
                self.assertEqual(tl.read(tl.CONFIG), b"debug 0\nspeed 38400\n\n" + stanzas)

    def test_init_with_line_break_writes_no_stanza(self):
        cases = [("line feed", "ATZ\nport ttySMX1"), ("carriage return", "ATZ\r"),
                 ("both", "AT\r\nZ")]
        for name, init in cases:
            with self.subTest(name):
                clean_etc()
                status, out = self.run_once(tl.state("0", inits={0: init, 1: "ATZ"}))
                self.assertEqual(status, 0)
                self.assertEqual(tl.read(tl.CONFIG),
                                 b'debug 0\nspeed 38400\n\nport ttySMX1\n    init-chat "" ATZ OK\n\n')
                lines = out.decode().splitlines()
                self.assertEqual(len(lines), 1, out)
                self.assertIn("MGETTY-INIT0", lines[0])
                self.assertIn("ttySMX0", lines[0])

    def test_options_files(self):
        cases = [
            ("own then remote", "192.0.2.1", "192.0.2.2", b"192.0.2.1:192.0.2.2\n"),
            ("own 0.0.0.0 kept", "0.0.0.0", "10.9.8.7", b"0.0.0.0:10.9.8.7\n"),
            ("high bytes", "255.254.253.252", "172.16.0.1", b"255.254.253.252:172.16.0.1\n"),
        ]
        for name, own, remote, want in cases:
            with self.subTest(name):
                clean_etc()
                status, out = self.run_once(tl.state("0", ips={0: remote, 3: remote}, own=own))
                self.assertEqual(status, 0)
                self.assertEqual(out, b"")
                self.assertEqual(tl.read(tl.options_path(0)), want)
                self.assertEqual(tl.read(tl.options_path(3)), want)
                self.assertEqual(os.stat(tl.options_path(3)).st_mode & 0o777,
                                 0o666 & ~current_umask())
                self.assertFalse(os.path.exists(tl.options_path(1)))
                self.assertFalse(os.path.exists(tl.options_path(2)))

    def test_empty_or_missing_remote_keeps_an_old_file(self):
        for name, ips in [("empty", {2: ""}), ("missing", {})]:
            with self.subTest(name):
                clean_etc()
                with open(tl.options_path(2), "w") as f:
                    f.write("192.0.2.1:192.0.2.9\n")
                status, out = self.run_once(tl.state("0", ips=ips))
                self.assertEqual((status, out), (0, b""))
                self.assertEqual(tl.read(tl.options_path(2)), b"192.0.2.1:192.0.2.9\n")

    def test_remote_that_is_not_an_address_writes_no_file(self):
        for remote in ["192.0.2.2\nnoauth", "192.0.2.2 noauth", "192.0.2", "peer.example",
                       "192.0.2.256"]:
            with self.subTest(remote=remote):
                clean_etc()
                status, out = self.run_once(tl.state("0", ips={1: remote, 2: "192.0.2.7"}))
                self.assertEqual(status, 0)
                self.assertFalse(os.path.exists(tl.options_path(1)))
                self.assertEqual(tl.read(tl.options_path(2)), b"192.0.2.1:192.0.2.7\n")
                lines = out.decode().splitlines()
                self.assertEqual(len(lines), 1, out)
                self.assertIn("MGETTY-IP1", lines[0])

    def test_write_errors_are_reported(self):
        for path in [tl.CONFIG, tl.options_path(1)]:
            with self.subTest(path):
                clean_etc()
                os.symlink("/dev/full", path)   # opens, but every write fails
                try:
                    status, out = self.run_once(tl.state("0", inits={0: "ATZ"},
                                                         ips={1: "192.0.2.2"}))
                finally:
                    os.unlink(path)
                self.assertEqual((status, out), (0, path.encode() + b": cannot be written\n"))

    def test_own_address_asked_per_port_and_failure_skips_files(self):
        st = tl.state("0", ips={0: "192.0.2.2", 1: "192.0.2.3"}, fail=["kel_get_network_ip:0"])
        with open(tl.options_path(1), "w") as f:
            f.write("old\n")
        status, out = self.run_once(st)
        self.assertEqual(status, 0)
        self.assertFalse(os.path.exists(tl.options_path(0)))
        self.assertEqual(tl.read(tl.options_path(1)), b"old\n")
        asks = [c for c in self.sim_calls if c[0] == "kel_get_network_ip"]
        self.assertEqual(len(asks), 4)

    def test_no_port_enabled_asks_eight_times_and_closes_everything(self):
        for name, mask in [("zero", "0"), ("abc", "abc"), ("empty", ""), ("missing", None),
                           ("only other bits", "16")]:
            with self.subTest(name):
                clean_etc()
                status, out = self.run_once(tl.state(mask, inits={0: "ATZ"}))
                self.assertEqual((status, out), (0, b""))
                self.assertEqual(self.sim_questions, 8)
                self.assertEqual(tl.starts(), [])
                # create_cfg_file's connection and one per question, each
                # closed by the launcher itself.
                self.assertEqual(self.sim_connections[0], 9)
                self.assertEqual(self.sim_disconnects, 9)

    def test_refused_login_is_as_keld_not_running(self):
        status, out = self.run_once(tl.state("15", inits={0: "ATZ"}, fail=["kel_connect_unix"]))
        self.assertEqual((status, out), (1, kelsys.REFUSED.encode() + b"Cannot connect to keld\n"))
        self.assertFalse(os.path.exists(tl.CONFIG))
        self.assertEqual(tl.starts(), [])
        self.assertEqual(self.sim_disconnects, self.sim_connections[0])

    def test_keld_not_running(self):
        status, out, err = tl.finish(tl.launch())
        self.assertEqual(status, 1)
        self.assertEqual(out, kelsys.ABSENT.encode() + b"Cannot connect to keld\n")
        self.assertFalse(os.path.exists(tl.CONFIG))

    def test_socket_of_another_user_is_never_called(self):
        # Someone else's socket on keld's path, listening: the launcher, as
        # root, says whose it is and asks it nothing, unless the integrator
        # named that user as keld's.
        impostor = socket.socket(socket.AF_UNIX)
        self.addCleanup(impostor.close)
        impostor.bind(kelsys.COMMUNITY_SOCKET)
        impostor.listen(8)
        impostor.setblocking(False)
        nobody = pwd.getpwnam("nobody").pw_uid
        os.chown(kelsys.COMMUNITY_SOCKET, nobody, nobody)
        self.addCleanup(os.unlink, kelsys.COMMUNITY_SOCKET)
        status, out, err = tl.finish(tl.launch())
        self.assertEqual((status, out), (1, b"%s belongs to nobody (uid %d), not to keld: not trusted\n"
                                            b"Cannot connect to keld\n"
                                         % (kelsys.COMMUNITY_SOCKET.encode(), nobody)))
        self.assertRaises(BlockingIOError, impostor.accept)
        self.assertFalse(os.path.exists(tl.CONFIG))
        proc = tl.launch(env={"KELD_SOCKET_OWNER": "nobody"})
        try:
            self.assertTrue(kelsys.wait_for(lambda: select.select([impostor], [], [], 0.1)[0], 5))
        finally:
            tl.stop(proc)

    def test_arguments_are_ignored(self):
        with kelsys.KeldSim(tl.state("0", inits={3: "ATZ"})):
            status, out, err = tl.finish(tl.launch(["-x", "--help", "ttySMX0"]))
        self.assertEqual((status, out), (0, b""))
        self.assertIn(b"port ttyACM0\n", tl.read(tl.CONFIG))

    def test_configuration_not_writable_still_supervises(self):
        os.mkdir(tl.CONFIG)      # fopen for writing fails on a directory
        tl.hold("ttySMX1")
        with kelsys.KeldSim(tl.state("2", inits={1: "ATZ"}, ips={1: "192.0.2.2"})) as sim:
            proc = tl.launch()
            try:
                self.assertTrue(tl.wait_until(lambda: tl.starts("ttySMX1"), 10))
                self.assertFalse(os.path.exists(tl.options_path(1)))
                self.assertEqual(sim.calls("kel_get_network_ip"), [])
                sim.reload(tl.state("0"))
                tl.release("ttySMX1")
                status, out, err = tl.finish(proc)
                self.assertEqual((status, out), (0, b""))
            finally:
                tl.release("ttySMX1")
                tl.stop(proc)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


if __name__ == "__main__":
    kelsys.main()
