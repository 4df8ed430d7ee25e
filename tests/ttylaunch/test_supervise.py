"""ttylaunch's supervisors against keld-sim and a stand-in mgetty: when mgetty
starts and with what, the pauses, the waiting loop in port order, disabling
a line while mgetty runs, keld going away, and mgetty missing."""

import os
import re
import shutil
import signal
import socket
import subprocess
import time
import unittest

import kelsys
import ttylaunchsys as tl

# Pauses are measured from the stand-in's records, which poll every 0.1 s
# and may be late by a scheduling delay on a busy machine; a pause twice its
# length (one second) is still well past this.
SLACK = 0.9
# How much shorter a pause may look: the start before it may be recorded
# late, by as long as a fork and exec take, which under emulation on a
# loaded machine is longer.
EARLY = 0.3 if kelsys.EMULATED else 0.15


def hostile_signals():
    """Start the launcher the way a careless parent might: some signals
    ignored, some blocked. mgetty must see none of that."""
    for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGUSR2, signal.SIGQUIT, signal.SIGCHLD):
        signal.signal(sig, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGTERM, signal.SIGALRM})


class Supervisors(unittest.TestCase):
    def setUp(self):
        for path in [tl.CONFIG] + [tl.options_path(p) for p in range(4)]:
            if os.path.exists(path):
                os.unlink(path)
        tl.install_standin()
        self.proc = None

    def tearDown(self):
        for tty in tl.TTYS:
            tl.release(tty)
            if os.path.exists("/tmp/mgetty-deaf." + tty):
                os.unlink("/tmp/mgetty-deaf." + tty)
        if self.proc:
            tl.stop(self.proc)

    def assertPause(self, later, earlier, seconds):
        self.assertGreaterEqual(later - earlier, seconds - EARLY)
        self.assertLessEqual(later - earlier, seconds + SLACK)

    def wait_removed(self, path, timeout=10):
        self.assertTrue(tl.wait_until(lambda: not os.path.exists(path), timeout), path)
        return tl.now()

    def test_ports_0_and_3(self):
        ips = {0: "192.0.2.2", 3: "192.0.2.5"}
        tl.hold("ttySMX0")
        tl.hold("ttyACM0")
        with kelsys.KeldSim(tl.state("9", ips=ips)) as sim:
            self.proc = tl.launch(preexec_fn=hostile_signals)
            self.assertTrue(tl.wait_until(lambda: len(tl.starts()) == 2, 10), tl.runs())
            s0, s3 = tl.starts("ttySMX0")[0], tl.starts("ttyACM0")[0]
            with self.subTest("one second between supervisors"):
                self.assertPause(s3["time"], s0["time"], 1.0)
            with self.subTest("mgetty's arguments and signals"):
                for s, tty in [(s0, "ttySMX0"), (s3, "ttyACM0")]:
                    self.assertEqual((s["argc"], s["args"]), (1, tty))
                    self.assertEqual(int(s["blk"], 16), 0, "blocked signals passed on")
                    self.assertEqual(int(s["ign"], 16), 0, "ignored signals passed on")
            self.assertEqual(tl.read(tl.options_path(0)), b"192.0.2.1:192.0.2.2\n")

            # Port 3's start is followed by its pause too: half-way through
            # it, only the four questions of the start and the supervisors'
            # first ones have been asked.  (Looked at too late on a busy
            # machine, the count says nothing about the pause.)
            time.sleep(max(0, s3["time"] + 0.5 - tl.now()))
            asked = tl.port_questions(sim)
            if tl.now() < s3["time"] + 0.85:
                self.assertEqual(asked, 6)
            # After port 3's pause the launcher asks about port 0 and waits for
            # it: four questions starting, one per supervisor, one waiting.
            time.sleep(max(0, s3["time"] + 1.6 - tl.now()))
            self.assertEqual(tl.port_questions(sim), 7)

            with self.subTest("restart three seconds after mgetty ends"):
                tl.release("ttySMX0")
                self.assertTrue(tl.wait_until(lambda: tl.ends("ttySMX0"), 5))
                tl.hold("ttySMX0")
                end = tl.ends("ttySMX0")[0]["time"]
                self.assertTrue(tl.wait_until(lambda: len(tl.starts("ttySMX0")) == 2, 6))
                self.assertPause(tl.starts("ttySMX0")[1]["time"], end, 3.0)
                self.assertEqual(tl.port_questions(sim), 8)

            with self.subTest("port disabled while mgetty runs"):
                sim.reload(tl.state("1", ips=ips))
                time.sleep(0.5)
                self.assertTrue(os.path.exists(tl.options_path(3)))
                tl.release("ttyACM0")
                self.assertTrue(tl.wait_until(lambda: tl.ends("ttyACM0"), 5))
                removed = self.wait_removed(tl.options_path(3))
                self.assertPause(removed, tl.ends("ttyACM0")[0]["time"], 3.0)
                time.sleep(0.3)
                self.assertEqual(len(tl.starts("ttyACM0")), 1)
                # The launcher still waits for port 0, not for port 3 first.
                self.assertEqual(tl.port_questions(sim), 9)
                self.assertIsNone(self.proc.poll())
                self.assertTrue(os.path.exists(tl.options_path(0)))

            with self.subTest("last port disabled: the launcher ends"):
                sim.reload(tl.state("0", ips=ips))
                tl.release("ttySMX0")
                status, out, err = tl.finish(self.proc, 15)
                self.assertEqual((status, out), (0, b""))
                self.assertFalse(os.path.exists(tl.options_path(0)))
                self.assertEqual(tl.port_questions(sim), 13)
                self.assertEqual(len(tl.starts()), 3)

    def test_port_disabled_before_its_supervisor_asks_gets_no_mgetty(self):
        # A daemon that says port 0 is on to the first question only: the
        # supervisor, asking right after, finds it off.  No address is given
        # out, so only the old options file is there to be removed.
        asked = []

        def answer(c, payload):
            call, *args = kelsys.fields(payload)
            if call == b"kel_db_get" and args[0] == b"MGETTY-PORT":
                asked.append(tl.now())
                c.sendall(kelsys.reply(1, b"1" if len(asked) == 1 else b"0"))
            else:
                # Logins succeed; every other setting has no value.
                c.sendall(kelsys.reply(int(call in (b"kel_connect_unix", b"kel_disconnect",
                                                    b"kel_db_get"))))
        kelsys.scripted_keld(self, answer)
        with open(tl.options_path(0), "w") as f:
            f.write("old\n")
        self.proc = tl.launch()
        removed = self.wait_removed(tl.options_path(0))
        # At once: well inside the second the launcher pauses after a start.
        self.assertLess(removed - asked[0], 0.85)
        status, out, err = tl.finish(self.proc, 15)
        self.assertEqual((status, out), (0, b""))
        self.assertEqual(tl.starts(), [])
        self.assertEqual(len(asked), 9)  # four to start, the supervisor's, four waiting

    def test_waiting_loop_passes_over_ports_disabled_or_enabled_later(self):
        ips = {0: "192.0.2.2", 1: "192.0.2.3", 2: "192.0.2.4"}
        tl.hold("ttySMX0")
        tl.hold("ttySMX1")
        with kelsys.KeldSim(tl.state("3", ips=ips)) as sim:
            self.proc = tl.launch()
            self.assertTrue(tl.wait_until(lambda: tl.port_questions(sim) == 7, 10))
            # Port 1 off and port 2 on while the launcher waits for port 0.
            sim.reload(tl.state("4", ips=ips))
            tl.release("ttySMX0")
            status, out, err = tl.finish(self.proc, 15)
            self.assertEqual((status, out), (0, b""))
            # Port 2 got no supervisor; port 1's mgetty outlives the launcher,
            # and so does its options file.
            self.assertEqual(tl.starts("rfcomm0"), [])
            self.assertFalse(os.path.exists(tl.options_path(0)))
            self.assertTrue(os.path.exists(tl.options_path(1)))
            self.assertTrue(os.path.exists(tl.options_path(2)))
            pid = tl.starts("ttySMX1")[0]["pid"]
            self.assertEqual(tl.ends("ttySMX1"), [])
            os.kill(pid, 0)

    def test_no_usable_answer_keeps_the_lines_and_files(self):
        ips = {0: "192.0.2.2"}
        no_word = b"keld gave no usable answer for MGETTY-PORT: the lines stay as they are\n"
        again = b"keld answers for MGETTY-PORT again\n"
        with open(tl.CONFIG, "w") as f:
            f.write("old\n")
        tl.hold("ttySMX0")
        refusing = tl.state("1", inits={0: "ATZ"}, ips=ips,
                            fail=["kel_db_get:MGETTY-PORT", "kel_db_get:MGETTY-INIT1"])
        with kelsys.KeldSim(refusing) as sim:
            self.proc = tl.launch()
            with self.subTest("at start-up: ask again, never end"):
                self.assertTrue(tl.wait_until(lambda: tl.port_questions(sim) >= 2, 5))
                self.assertIsNone(self.proc.poll(), tl.output(self.proc))
                self.assertEqual(tl.starts(), [])
                self.assertEqual(tl.read(tl.CONFIG), b"old\n")
                sim.reload(tl.state("1", ips=ips))
                self.assertTrue(tl.wait_until(lambda: tl.starts("ttySMX0"), 10), tl.output(self.proc))
                # Then ports 1 to 3 a second later, and port 0 for the wait.
                asked = tl.port_questions(sim)
                self.assertTrue(tl.wait_until(lambda: tl.port_questions(sim) == asked + 4, 5))
            with self.subTest("while supervising: mgetty goes on"):
                sim.reload(refusing)
                tl.release("ttySMX0")
                self.assertTrue(tl.wait_until(lambda: len(tl.starts("ttySMX0")) == 2, 6))
                self.assertIsNone(self.proc.poll())
                self.assertTrue(os.path.exists(tl.options_path(0)))
            with self.subTest("only keld's word stops a line"):
                sim.reload(tl.state("0", ips=ips))
                tl.release("ttySMX0")
                status, out, err = tl.finish(self.proc, 15)
                self.assertEqual(status, 0)
                self.assertFalse(os.path.exists(tl.options_path(0)))
                self.assertEqual(out.count(no_word), 2, out)
                self.assertEqual(out.count(again), 2, out)

    def test_garbled_answers_are_no_word_on_the_lines(self):
        # A daemon that dies in the middle of its first two answers about the
        # mask: the launcher asks again and then supervises as told.
        asked = []

        def answer(c, payload):
            call, *args = kelsys.fields(payload)
            if call == b"kel_db_get" and args[0] == b"MGETTY-PORT":
                asked.append(tl.now())
                if len(asked) <= 2:
                    c.sendall(kelsys.reply(1, b"1")[:-2])
                    c.shutdown(socket.SHUT_RDWR)
                else:
                    c.sendall(kelsys.reply(1, b"1"))
            else:
                c.sendall(kelsys.reply(int(call in (b"kel_connect_unix", b"kel_disconnect",
                                                    b"kel_db_get"))))
        kelsys.scripted_keld(self, answer)
        tl.hold("ttySMX0")
        with open(tl.options_path(0), "w") as f:
            f.write("old\n")
        self.proc = tl.launch()
        self.assertTrue(tl.wait_until(lambda: tl.starts("ttySMX0"), 10), tl.output(self.proc))
        self.assertIsNone(self.proc.poll())
        self.assertEqual(tl.read(tl.options_path(0)), b"old\n")
        # Asked again after one second, then after two.
        self.assertGreaterEqual(asked[2] - asked[0], 3 - EARLY)

    def test_keld_gone_ends_the_launcher_not_mgetty(self):
        tl.hold("ttySMX1")
        sim = kelsys.KeldSim(tl.state("2", ips={1: "192.0.2.3"}))
        try:
            self.proc = tl.launch()
            self.assertTrue(tl.wait_until(lambda: tl.starts("ttySMX1"), 10))
            time.sleep(1.5)
        finally:
            sim.stop()
        # The supervisor's next question fails once mgetty has ended.
        time.sleep(0.5)
        self.assertIsNone(self.proc.poll())
        tl.release("ttySMX1")
        status, out, err = tl.finish(self.proc, 15)
        self.assertEqual((status, out), (1, kelsys.ABSENT.encode() + b"Cannot connect to keld\n"))
        self.assertTrue(os.path.exists(tl.options_path(1)))

    def test_stop_signal_ends_every_mgetty_and_starts_none(self):
        # ttySMX1's mgetty ignores SIGTERM: the launcher must not wait for
        # it for ever, nor leave it behind.
        tl.hold("ttySMX0")
        tl.hold("ttySMX1")
        open("/tmp/mgetty-deaf.ttySMX1", "w").close()
        ips = {0: "192.0.2.2", 1: "192.0.2.3"}
        with kelsys.KeldSim(tl.state("3", ips=ips)):
            self.proc = tl.launch()
            self.assertTrue(tl.wait_until(lambda: len(tl.starts()) == 2, 10), tl.runs())
            pids = [s["pid"] for s in tl.starts()]
            self.proc.send_signal(signal.SIGTERM)
            self.assertTrue(tl.wait_until(lambda: tl.gone(pids[0]), 2), "mgetty left running")
            self.assertIsNone(self.proc.poll(), "ended before its mgetty did")
            status, out, err = tl.finish(self.proc, 15)
            self.assertEqual(status, -signal.SIGTERM, (out, err))
            self.assertTrue(all(tl.gone(p) for p in pids), "mgetty left running")
            time.sleep(4)   # past the restart pause
            self.assertEqual(len(tl.starts()), 2, tl.runs())
        self.assertTrue(os.path.exists(tl.options_path(0)))

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_mgetty_missing_children_end_with_127_every_3_seconds(self):
        os.unlink(tl.MGETTY)
        trace = "/tmp/launcher.trace"
        with kelsys.KeldSim(tl.state("1")) as sim:
            self.proc = tl.launch(wrapper=["strace", "-f", "-q", "-ttt", "-o", trace,
                                           "-e", "trace=execve", "-e", "signal=none"],
                                  # LeakSanitizer refuses to run under a tracer.
                                  env={"ASAN_OPTIONS": "detect_leaks=0"})
            tried = lambda: len(re.findall(r'execve\("/usr/sbin/mgetty"', read_text(trace)))
            self.assertTrue(tl.wait_until(lambda: tried() >= 3, 15), read_text(trace))
            sim.reload(tl.state("0"))
            status, out, err = tl.finish(self.proc, 15)
        self.assertEqual((status, out), (0, b""))
        text = read_text(trace)
        execs = re.findall(r'^(\d+) +([\d.]+) execve\("/usr/sbin/mgetty", \["mgetty", "ttySMX0"\], '
                           r'.*= -1 ENOENT', text, re.M)
        self.assertGreaterEqual(len(execs), 3, text)
        for pid, _ in execs:
            self.assertRegex(text, r"(?m)^%s +[\d.]+ \+\+\+ exited with 127 \+\+\+$" % pid)
        times = [float(t) for _, t in execs]
        for a, b in zip(times, times[1:]):
            self.assertPause(b, a, 3.0)


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


if __name__ == "__main__":
    kelsys.main()
