"""ttylaunch's files read by the real peers: Debian's pppd accepts every
options file the launcher writes, and Debian's mgetty, started by the
launcher, finds its port's section and gets through the init-chat against a
fake modem on a pty.

The serial lines are socat ptys linked under a private /dev: the test mounts
its own tmpfs there (with a few device nodes bound in and a devpts instance of
its own), and tmpfs on /run and /var/log for mgetty's lock and log files, all
inside the sandbox's private mount namespace."""

import os
import re
import shutil
import subprocess
import time
import unittest

import kelsys
import ttylaunchsys as tl

SHIM = os.environ.get("TTYLAUNCH_PPP_SHIM", "")
PPPD = "/usr/sbin/pppd"
REAL_MGETTY = "/usr/sbin/mgetty.debian"
MGETTY_LOG = "/var/log/mgetty/mg_ttySMX0.log"

FAKE_MODEM = r"""
import os
buf = b""
while True:
    data = os.read(0, 256)
    if not data:
        break
    buf += data
    while b"\r" in buf:
        line, buf = buf.split(b"\r", 1)
        if line.strip().upper().startswith(b"AT"):
            os.write(1, b"\r\nOK\r\n")
"""


def sh(*argv):
    subprocess.run(argv, check=True)


def private_dev():
    """Replace /dev, /run and /var/log by private ones for this sandbox."""
    os.makedirs("/tmp/hostdev", exist_ok=True)
    # Recursive, and detached whole below: in a user namespace (the cross
    # build's sandbox) the mounts under /dev cannot be left behind or taken apart.
    sh("mount", "--rbind", "/dev", "/tmp/hostdev")
    sh("mount", "-t", "tmpfs", "-o", "mode=755", "testdev", "/dev")
    for node in ("null", "zero", "full", "random", "urandom", "tty"):
        open("/dev/" + node, "w").close()
        sh("mount", "--bind", "/tmp/hostdev/" + node, "/dev/" + node)
    os.mkdir("/dev/pts")
    sh("mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=620", "testpts", "/dev/pts")
    os.symlink("pts/ptmx", "/dev/ptmx")
    sh("umount", "--lazy", "/tmp/hostdev")
    sh("mount", "-t", "tmpfs", "testrun", "/run")
    os.makedirs("/run/lock")
    sh("mount", "-t", "tmpfs", "testlog", "/var/log")
    os.makedirs("/var/log/mgetty")


def pty(tty, other):
    """A socat pty linked at /dev/tty whose far end is other (a socat address)."""
    proc = subprocess.Popen(["socat", "pty,link=/dev/%s,raw,echo=0" % tty, other],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not tl.wait_until(lambda: os.path.exists("/dev/" + tty), 10):
        proc.kill()
        raise RuntimeError("socat made no pty at /dev/" + tty)
    return proc


def setUpModule():
    for tool in ("socat", "mount"):
        if not shutil.which(tool):
            raise unittest.SkipTest("needs " + tool)
    if not os.access(PPPD, os.X_OK) or not os.access(tl.MGETTY, os.X_OK):
        raise unittest.SkipTest("needs Debian's pppd and mgetty")
    private_dev()
    shutil.copy2(tl.MGETTY, REAL_MGETTY)


class Peers(unittest.TestCase):
    def setUp(self):
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def pppd(self, tty):
        env = dict(os.environ)
        if SHIM:
            env["LD_PRELOAD"] = SHIM
        return subprocess.run([PPPD, tty, "dryrun", "nodetach", "noauth"], env=env,
                              capture_output=True, timeout=30)

    def pppd_accepts(self, tty, want_line):
        """Fail unless pppd reads the options file of tty without complaint."""
        r = self.pppd(tty)
        text = (r.stdout + r.stderr).decode(errors="replace")
        if SHIM:
            self.assertEqual(r.returncode, 0, text)
            self.assertRegex(text, r"(?m)^%s\s+# \(from /etc/ppp/options\.%s\)$"
                             % (re.escape(want_line), tty))
        else:
            # Without /dev/ppp pppd stops after reading its options: an
            # option error is status 2, the missing device status 4.
            self.assertEqual(r.returncode, 4, text)

    def test_pppd_accepts_every_options_file(self):
        for port, tty in enumerate(tl.TTYS):
            self.procs.append(pty(tty, "pty,raw,echo=0"))
        with self.subTest("a broken file is refused (the check can fail)"):
            with open(tl.options_path(0), "w") as f:
                f.write("192.0.2.1:192.0.2.2 bogus-option\n")
            self.assertEqual(self.pppd("ttySMX0").returncode, 2)
        cases = [("192.0.2.1", "192.0.2.2", "192.0.2.1:192.0.2.2"),
                 # pppd shows an own address of 0.0.0.0 as "not given".
                 ("0.0.0.0", "10.0.0.2", ":10.0.0.2"),
                 ("203.0.113.254", "198.51.100.1", "203.0.113.254:198.51.100.1")]
        for own, remote, shown in cases:
            with self.subTest(own=own, remote=remote):
                for port in range(4):
                    if os.path.exists(tl.options_path(port)):
                        os.unlink(tl.options_path(port))
                ips = {port: remote for port in range(4)}
                with kelsys.KeldSim(tl.state("0", ips=ips, own=own)):
                    status, out, err = tl.finish(tl.launch())
                self.assertEqual((status, out), (0, b""))
                for port, tty in enumerate(tl.TTYS):
                    self.assertEqual(tl.read(tl.options_path(port)),
                                     ("%s:%s\n" % (own, remote)).encode())
                    self.pppd_accepts(tty, shown)

    def test_mgetty_reads_the_configuration_and_gets_through_init_chat(self):
        with open("/tmp/fake-modem.py", "w") as f:
            f.write(FAKE_MODEM)
        self.procs.append(pty("ttySMX0", "EXEC:python3 /tmp/fake-modem.py"))
        # The launcher starts /usr/sbin/mgetty; this one is Debian's mgetty
        # told to log in detail, which the configuration's "debug 0" would not.
        with open(tl.MGETTY + ".new", "w") as f:
            f.write('#!/bin/sh\nexec %s -x 9 "$@"\n' % REAL_MGETTY)
        os.chmod(tl.MGETTY + ".new", 0o755)
        os.rename(tl.MGETTY + ".new", tl.MGETTY)

        st = tl.state("1", inits={0: "ATZ", 2: "AT&F"}, ips={0: "192.0.2.2"})
        with kelsys.KeldSim(st):
            launcher = tl.launch()
            try:
                done = lambda: re.search(r"send: ATZ\[0d\]\n.*waiting for ``OK''\n"
                                         r".*got: .*OK \*\* found \*\*", read_log())
                found = tl.wait_until(done, 30)
                log = read_log()
                self.assertTrue(found, log)
                self.assertIn("section: port ttySMX0, **found**", log)
                self.assertIn("conf lib: read: 'init-chat \"\" ATZ OK'", log)
                self.assertIsNone(launcher.poll())
            finally:
                tl.stop(launcher)
                kill_real_mgetty()


def read_log():
    try:
        with open(MGETTY_LOG, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def kill_real_mgetty():
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if f.read().startswith(REAL_MGETTY.encode()):
                    os.kill(int(pid), 9)
        except OSError:
            pass


if __name__ == "__main__":
    kelsys.main()
