"""keld-sim and the stand-in libkel: the daemon's contract, seen from clients."""

import json
import os
import pwd
import random
import resource
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

from kelsys import (LOG, STATE, KeldSim, binary, encode, frame, main, reply, run, scripted_keld,
                    wait_for)

SENSORS = [
    {"type": 1, "port": 3, "status": 1, "value": 291, "fahrenheit": True, "description": "Room"},
    {"type": 1, "port": 4, "status": 2, "value": -5, "description": "x" * 100},
    {"type": 5, "port": 6, "status": 1, "value": 2310, "unit_type": 0, "unit": "V",
     "description": "Mains", "fail": ["kel_get_sensor_status:0"]},
    {"type": 2, "port": 6, "status": 1, "value": 7, "unit_type": 1, "unit": "kPa",
     "fail": ["kel_get_sensor_420MA_unit"]},
]


def kelcall(*args):
    """Run kelcall; return its output lines after the login line, and the login result."""
    r = run("kelcall", *args)
    lines = r.stdout.decode().splitlines()
    return lines[0], lines[1:]


class Startup(unittest.TestCase):
    def test_bad_state_file_exits_2_naming_the_file_and_leaves_it(self):
        cases = [("missing", None, "No such file"),
                 ("not json", b"{\"sensors\": [", "not valid JSON"),
                 ("not an object", b"[1, 2]", "not a JSON object"),
                 ("empty", b"", "not valid JSON"),
                 ("nested 10,000 deep", b'{"a": ' + b"[" * 10000 + b"]" * 10000 + b"}",
                  "nested deeper")]
        for path in ("/tmp/.keld-snmp", "/tmp/.keld"):
            if os.path.exists(path):
                os.unlink(path)
        for name, content, why in cases:
            with self.subTest(name):
                path = "/tmp/state-%s.json" % name.replace(" ", "-")
                if content is not None:
                    with open(path, "wb") as f:
                        f.write(content)
                r = subprocess.run([binary("keld-sim"), "--state", path],
                                   capture_output=True, timeout=10)
                self.assertEqual(r.returncode, 2)
                err = r.stderr.decode()
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn(path, err)
                self.assertIn(why, err)
                self.assertEqual(r.stdout, b"")
                if content is not None:
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), content)
                self.assertFalse(os.path.exists("/tmp/.keld-snmp"))

    def test_stale_sockets_replaced_and_removed_on_term_and_int(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                for path in ("/tmp/.keld-snmp", "/tmp/.keld"):
                    if os.path.exists(path):
                        os.unlink(path)
                    stale = socket.socket(socket.AF_UNIX)
                    stale.bind(path)        # a socket nobody listens on any more
                    stale.close()
                sim = KeldSim({})
                self.assertEqual(kelcall("noop")[1], ["1"])
                sim.proc.send_signal(sig)
                self.assertEqual(sim.proc.wait(timeout=10), 0)
                sim.stop()
                self.assertFalse(os.path.exists("/tmp/.keld-snmp"))
                self.assertFalse(os.path.exists("/tmp/.keld"))


    def test_another_users_socket_is_not_taken(self):
        for path in ("/tmp/.keld-snmp", "/tmp/.keld"):
            if os.path.exists(path):
                os.unlink(path)
        impostor = socket.socket(socket.AF_UNIX)
        impostor.bind("/tmp/.keld-snmp")
        impostor.listen(1)
        self.addCleanup(impostor.close)
        nobody = pwd.getpwnam("nobody").pw_uid
        os.chown("/tmp/.keld-snmp", nobody, nobody)
        with open(STATE, "w") as f:
            f.write("{}")
        r = subprocess.run([binary("keld-sim"), "--state", STATE], capture_output=True, timeout=10)
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertEqual(r.stderr.decode(), "keld-sim: /tmp/.keld-snmp belongs to nobody (uid %d), "
                                            "not to us: not taking it\n" % nobody)
        self.assertEqual(os.stat("/tmp/.keld-snmp").st_uid, nobody)

    def test_a_live_daemon_keeps_its_sockets(self):
        with KeldSim({"settings": {"K": "first"}}) as first:
            with open("/tmp/other.json", "w") as f:
                json.dump({"settings": {"K": "second"}}, f)
            r = subprocess.run([binary("keld-sim"), "--state", "/tmp/other.json"],
                               capture_output=True, timeout=10)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"another daemon is listening", r.stderr)
            self.assertEqual(kelcall("db_get", "K")[1], ["1 5 first"])
            self.assertIsNone(first.proc.poll())


class Calls(unittest.TestCase):
    def setUp(self):
        self.sim = KeldSim({"password": "s3cret", "sensors": SENSORS,
                            "settings": {"MGETTY-PORT": "5", "EMPTY": ""},
                            "network": {"ip": "192.0.2.10", "mask": "255.255.255.0"},
                            "fail": ["kel_db_get:BROKEN", "kel_set_network_ip:1"]})

    def tearDown(self):
        self.sim.stop()

    def test_sensor_queries(self):
        cases = [
            (["sensors"], "1 4 1 3 1 4 5 6 2 6"),
            (["status", 2, 1, 3], "1 1"),
            (["status", 0, 1, 3], "1 291"),
            (["status", 0, 1, 4], "1 -5"),
            (["status", 2, 1, 9], "0 -1"),           # no such sensor
            (["status", 0, 5, 6], "0 -1"),           # this sensor's value query fails
            (["status", 2, 5, 6], "1 1"),            # its status query does not
            (["threshold", 10, 1, 3], "1 0"),        # Fahrenheit
            (["threshold", 10, 1, 4], "1 1"),
            (["threshold", 10, 1, 6], "0 -1"),       # port 6 has no temperature sensor
            (["atod_type", 6], "1 0"),
            (["atod_unit", 6], "1 V"),
            (["420ma_type", 6], "1 1"),
            (["420ma_unit", 6], "0 "),
            (["atod_type", 3], "0 -1"),
            (["description", 1, 3], "1 4 Room"),
            (["description", 1, 4], "1 63 " + "x" * 63),   # cut to fit, terminated
            (["description", 2, 6], "1 0 "),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                login, out = kelcall(*args)
                self.assertEqual(login, "login 1")
                self.assertEqual(out, [want])

    def test_settings_and_network(self):
        cases = [
            (["db_get", "MGETTY-PORT"], "1 1 5"),
            (["db_get", "EMPTY"], "1 0 "),
            (["db_get", "MISSING"], "1 -1 (null)"),
            (["db_get", "BROKEN"], "0 -1 (null)"),
            (["get_ip", 0], "1 192.0.2.10"),
            (["get_ip", 1], "1 255.255.255.0"),
            (["get_ip", 2], "1 0.0.0.0"),
            (["get_ip", 3], "0 0.0.0.0"),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                self.assertEqual(kelcall(*args)[1], [want])

    def test_changes_are_stored_and_logged(self):
        login, out = kelcall("set_ip", 0, "198.51.100.7", "/", "set_ip", 1, "255.0.0.0", "/",
                             "set_ip", 2, "198.51.100.7", "/", "dhcp", 1, "/", "camera", 1, "/",
                             "reload", "/", "manuf", "Acme", "/", "product", "", "/",
                             "sysdesc", "Lab", "/", "url", "http://192.0.2.1/", "/", "tz", 7,
                             "/", "event", 1, 3, 291, 290, 2, 0, "192.0.2.5", "0x80000003",
                             "/", "ppp", 1, 0, 2)
        self.assertEqual(out, ["1", "0", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "0"])
        s = self.sim.state()
        self.assertEqual(s["network"], {"ip": "198.51.100.7", "mask": "255.255.255.0",
                                        "dhcp": True, "ip2": "198.51.100.7"})
        self.assertEqual((s["camera_enable"], s["network_reloads"], s["time_zone"]), (True, 1, 7))
        self.assertEqual((s["manuf_name"], s["product_name"], s["system_description"],
                          s["help_url"]), ("Acme", "", "Lab", "http://192.0.2.1/"))
        self.assertEqual(s["events"], [{"type": 1, "port": 3, "value": 291, "raw": 290,
                                        "status": 2, "degree": 0, "source": "192.0.2.5",
                                        "cameras": 0x80000003}])
        self.assertEqual(s["ppp_commands"], [{"command": 1, "port": 0, "connect_to": 2}])
        calls = self.sim.calls()
        self.assertEqual(calls[0], ("kel_connect_unix", ["/tmp/.keld-snmp", 2, "meadow", 6], 1))
        self.assertEqual(calls[1], ("kel_set_network_ip", [0, "198.51.100.7"], 1))
        self.assertEqual(calls[2], ("kel_set_network_ip", [1, "255.0.0.0"], 0))
        self.assertEqual(calls[7], ("kel_set_manuf_name", ["Acme", 5], 1))
        self.assertEqual(calls[8], ("kel_set_product_name", ["", 1], 1))
        self.assertEqual(calls[-2], ("kel_ppp_command", [1, 0, 2], 0))
        self.assertEqual(calls[-1], ("kel_disconnect", [], 1))
        self.assertEqual(len({e["conn"] for e in self.sim.entries()}), 1)

        login, out = kelcall("command", "deleteDB", "/", "command", "other")
        self.assertEqual(out, ["1", "0"])
        s = self.sim.state()
        self.assertEqual((s["settings"], s["db_clears"]), ({}, 1))
        self.assertEqual(self.sim.calls("kel_run_keld_command")[0][1], ["deleteDB", 9])

    def test_logins(self):
        cases = [
            ([], "login 1", "1"),
            (["-k", "pasture"], "login 0", "0"),
            (["-p", "-k", "s3cret"], "login 1", "1"),
            (["-p", "-k", "meadow"], "login 0", "0"),
        ]
        for opts, login, noop in cases:
            with self.subTest(opts=opts):
                got, out = kelcall(*opts, "noop", "/", "ppp", 1, 0, 1)
                # A refused connection stays open, but every call on it fails.
                self.assertEqual((got, out), (login, [noop, "0" if noop == "1" else "1"]))
        self.sim.reload({"password": ""})
        self.assertEqual(kelcall("-p", "-k", "")[0], "login 0")
        self.sim.reload({"fail": ["kel_connect_unix"]})
        self.assertEqual(kelcall()[0], "login 0")

    def test_daemon_not_running(self):
        self.sim.stop()
        for stale in (False, True):
            with self.subTest(stale_socket=stale):
                if stale:
                    socket.socket(socket.AF_UNIX).bind("/tmp/.keld-snmp")
                start = time.monotonic()
                login, _ = kelcall("noop")
                self.assertEqual(login, "login -1")
                self.assertLess(time.monotonic() - start, 2)


class Reload(unittest.TestCase):
    def test_sighup_serves_the_new_file_and_keeps_state_on_a_bad_one(self):
        with KeldSim({"settings": {"K": "old"}}) as sim:
            self.assertEqual(kelcall("db_get", "K")[1], ["1 3 old"])
            sim.reload({"settings": {"K": "new"}})
            self.assertEqual(kelcall("db_get", "K")[1], ["1 3 new"])
            with open(STATE, "w") as f:
                f.write("{ broken")
            sim.proc.send_signal(signal.SIGHUP)
            self.assertEqual(kelcall("db_get", "K")[1], ["1 3 new"])
            sim.proc.terminate()
            sim.proc.wait(timeout=10)
            self.assertIn(b"keeping the state in memory", sim.proc.stderr.read())

    def test_sighup_on_a_fifo_keeps_serving(self):
        with KeldSim({"settings": {"K": "old"}}) as sim:
            os.unlink(STATE)
            os.mkfifo(STATE)
            self.addCleanup(os.unlink, STATE)
            sim.proc.send_signal(signal.SIGHUP)
            time.sleep(0.2)
            self.assertEqual(kelcall("db_get", "K")[1], ["1 3 old"])
            sim.proc.terminate()
            sim.proc.wait(timeout=10)
            self.assertIn(b"not a regular file; keeping the state in memory", sim.proc.stderr.read())


def raw_client():
    s = socket.socket(socket.AF_UNIX)
    s.connect("/tmp/.keld-snmp")
    return s


def hung_up(c, seconds=5):
    """True when the daemon closes the connection (with or without a reset)
    within seconds."""
    c.settimeout(seconds)
    try:
        return c.recv(100) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def login_payload():
    return encode(b"kel_connect_unix", b"/tmp/.keld-snmp", 2, b"meadow", 6)


class Robustness(unittest.TestCase):
    def test_fifty_clients_at_once(self):
        with KeldSim({}) as sim:
            for mode in ("threads", "procs"):
                with self.subTest(mode):
                    r = run("kel_stress", mode, 50, 20, timeout=120)
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            logins = sim.calls("kel_connect_unix")
            self.assertEqual(len(logins), 100)
            self.assertTrue(all(c[2] == 1 for c in logins))

    def test_bad_clients_lose_only_their_own_connection(self):
        with KeldSim({}) as sim:
            stalled = raw_client()
            stalled.sendall(frame(login_payload()) + b"\x00\x00")   # half a header, then quiet
            cases = {
                "garbage": b"GET / HTTP/1.0\r\n\r\n" * 50,
                "oversized frame": struct.pack(">I", 1 << 30) + b"x" * 100,
                "empty frame": struct.pack(">I", 0),
                "bad field": frame(b"s\x00\x08kel_noopZZZZ"),
                "text past the frame": frame(b"s\x00\xffkel_noop"),
            }
            for name, data in cases.items():
                with self.subTest(name):
                    c = raw_client()
                    c.sendall(data)
                    self.assertTrue(hung_up(c))
                    c.close()
                    self.assertEqual(run("keldcheck").returncode, 0)
            with self.subTest("disconnect mid-request"):
                c = raw_client()
                c.sendall(struct.pack(">I", 100) + b"s\x00\x08kel")
                c.close()
                self.assertEqual(run("keldcheck").returncode, 0)
            with self.subTest("the stalled client is still served"):
                stalled.sendall(b"\x00\x00")   # rest of a zero-length frame: garbage
                stalled.settimeout(5)
                reply = stalled.recv(100)       # its login's answer, then the hang-up
                self.assertTrue(reply.startswith(b"\x00\x00\x00\x05i\x00\x00\x00\x01"), reply)
            self.assertIsNone(sim.proc.poll())

    def test_out_of_descriptors_it_waits_and_silent_clients_are_dropped(self):
        with KeldSim({}) as sim:
            silent = raw_client()
            self.addCleanup(silent.close)
            self.assertTrue(wait_for(lambda: any(e.get("event") == "open" for e in sim.entries())))
            accepted = time.monotonic()
            resource.prlimit(sim.proc.pid, resource.RLIMIT_NOFILE, (16, 16))
            waiting = [raw_client() for _ in range(30)]
            with self.subTest("no busy loop at the descriptor limit"):
                before = cpu_seconds(sim.proc.pid)
                time.sleep(2)
                self.assertLess(cpu_seconds(sim.proc.pid) - before, 0.3)
            for c in waiting:
                c.close()
            with self.subTest("a silent client is dropped after 30 seconds"):
                self.assertTrue(hung_up(silent, 40))
                self.assertGreater(time.monotonic() - accepted, 29)
                self.assertEqual(kelcall("noop")[1], ["1"])

    def test_kill_9_during_changes_leaves_a_complete_state_file(self):
        base = {"sensors": SENSORS, "settings": {"K%d" % i: "v" * 200 for i in range(200)}}
        rng = random.Random(7)
        for attempt in range(5):
            with self.subTest(attempt=attempt):
                sim = KeldSim(base)
                load = subprocess.Popen([binary("kel_stress"), "threads", "8", "100000"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                wait_for(lambda: os.path.getsize(LOG) > 20000, timeout=20)
                time.sleep(rng.uniform(0, 0.3))
                sim.proc.kill()
                sim.proc.wait()
                # Its workers now only fail; that is not what is tested.
                load.kill()
                load.wait()
                with open(STATE) as f:
                    s = json.load(f)
                self.assertEqual(s["settings"], base["settings"])
                self.assertEqual(s["sensors"], base["sensors"])
                self.assertTrue(s["manuf_name"].startswith("worker "))
                sim.stop()

    def test_a_call_without_answer_fails_instead_of_hanging(self):
        # A listener that accepts and reads but never answers.
        srv = socket.socket(socket.AF_UNIX)
        srv.bind("/tmp/.keld-snmp")
        srv.listen(8)
        held = []

        def accept():
            try:
                while True:
                    held.append(srv.accept()[0])
            except OSError:
                pass
        threading.Thread(target=accept, daemon=True).start()
        start = time.monotonic()
        r = run("keldcheck", timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertLess(time.monotonic() - start, 15)
        srv.shutdown(socket.SHUT_RDWR)
        srv.close()
        for c in held:
            c.close()
        os.unlink("/tmp/.keld-snmp")

    def test_a_daemon_that_stops_accepting_fails_the_call(self):
        # Its queue of pending connections fills with the probes that gave
        # up; a connect that waited for room would wait for ever.
        srv = socket.socket(socket.AF_UNIX)
        srv.bind("/tmp/.keld-snmp")
        srv.listen(1)
        try:
            for attempt in range(4):
                with self.subTest(attempt=attempt):
                    start = time.monotonic()
                    self.assertEqual(run("keldcheck", timeout=30).returncode, 1)
                    self.assertLess(time.monotonic() - start, 10)
        finally:
            srv.close()
            os.unlink("/tmp/.keld-snmp")

    def test_a_reply_in_pieces_is_put_together(self):
        ok = reply(1)

        def in_pieces(c, _):
            # The header alone, then the payload split: each call must wait
            # for the rest of its reply.
            for piece in (ok[:4], ok[4:6], ok[6:]):
                c.sendall(piece)
                time.sleep(0.02)
        scripted_keld(self, in_pieces)
        self.assertEqual(run("keldcheck", timeout=30).returncode, 0)

    def test_a_reply_longer_than_its_frame_fails_the_call(self):
        scripted_keld(self, lambda c, _: c.sendall(reply(1) + b"\0\0"))
        self.assertEqual(run("keldcheck", timeout=30).returncode, 1)


    def test_a_success_without_its_output_fails_the_call(self):
        # Success alone, where the value or text should follow it.
        scripted_keld(self, lambda c, _: c.sendall(reply(1)))
        self.assertEqual(kelcall("get_ip", 0)[1], ["0 0.0.0.0"])
        self.assertEqual(kelcall("description", 1, 1)[1], ["0 0 "])
        self.assertEqual(kelcall("status", 1, 1, 0)[1], ["0 -1"])


if __name__ == "__main__":
    main()
