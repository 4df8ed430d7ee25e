"""The programs as installed: cmake --install into the sandbox's overlays of
/etc and /usr, the library cache rebuilt, then each program run from where it
was installed, as its service, init script or web server starts it."""

import os
import re
import shlex
import shutil
import subprocess
import time
import unittest
import urllib.request

import kelsys
import ttylaunchsys as tl

BUILD = os.environ["KEL_BUILD"]
PORT = 8080


def installed(tail):
    """The one installed file whose path ends in /tail."""
    with open(os.path.join(BUILD, "install_manifest.txt")) as f:
        found = [p for p in f.read().split() if p.endswith("/" + tail)]
    assert len(found) == 1, (tail, found)
    return found[0]


def exec_start(unit, environment_file):
    """The command line of the unit's ExecStart, with $VARIABLES expanded from
    the environment file the way systemd splits them (at blanks)."""
    with open(unit) as f:
        line = next(l for l in f if l.startswith("ExecStart="))
    env = {}
    if environment_file:
        with open(environment_file) as f:
            for l in f:
                m = re.match(r'\s*([A-Z_]+)=(.*)', l)
                if m:
                    env[m.group(1)] = shlex.split(m.group(2))[0] if m.group(2) else ""
    argv = []
    for word in line[len("ExecStart="):].split():
        argv += env.get(word[1:], "").split() if word.startswith("$") else [word]
    return argv


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run([os.environ["KEL_CMAKE"], "--install", BUILD], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["ldconfig"], check=True)
        if kelsys.EMULATED:
            # The machine's ldconfig leaves the target's libraries out of its
            # cache; the target's loader also searches its own multiarch
            # folder, where the target's ldconfig would have made it findable.
            # The emulator looks there in the target's root first, then here.
            library = installed("libkel.so.1")
            os.makedirs("/usr/lib/arm-linux-gnueabihf", exist_ok=True)
            os.symlink(library, "/usr/lib/arm-linux-gnueabihf/libkel.so.1")

    def test_programs_find_libkel_by_its_soname_with_no_run_path(self):
        for name in ("cgi-bin/camsnap", "sbin/pingaddrd", "sbin/ttylaunch", "sbin/cfgtool",
                     "bin/keldcheck", "bin/mkevent", "bin/pppctl"):
            dynamic = subprocess.run(["readelf", "-d", installed(name)], capture_output=True,
                                     text=True, check=True).stdout
            self.assertIn("[libkel.so.1]", dynamic, name)
            self.assertNotRegex(dynamic, "R(UN)?PATH", name)
        with kelsys.KeldSim({"product_name": "old"}) as keld:
            self.assertEqual(kelsys.run(installed("bin/keldcheck")).returncode, 0)
            done = kelsys.run(installed("sbin/cfgtool"), "-p", "Shelter 4", "-d", "1")
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            self.assertEqual(keld.state()["product_name"], "Shelter 4")
        self.assertEqual(kelsys.run(installed("bin/keldcheck")).returncode, 1)

    def test_camsnap_through_lighttpd_with_the_shipped_snippet(self):
        os.makedirs("/tmp/www", exist_ok=True)
        with open("/tmp/lighttpd.conf", "w") as f:
            f.write('server.document-root = "/tmp/www"\n'
                    'server.bind = "127.0.0.1"\n'
                    'server.port = %d\n'
                    'server.errorlog = "/tmp/lighttpd-error.log"\n'
                    'include "%s"\n' % (PORT, installed("conf-available/50-camsnap.conf")))
        check = subprocess.run(["lighttpd", "-tt", "-f", "/tmp/lighttpd.conf"],
                               capture_output=True, text=True)
        self.assertEqual((check.returncode, check.stderr), (0, ""))
        sensor = {"type": 1, "port": 3, "status": 1, "value": 0x0123, "description": "Room"}
        producer = subprocess.Popen([kelsys.binary("capture-sim"), "-r", "50", "1:320x240"],
                                    stdout=subprocess.PIPE)
        server = subprocess.Popen(["lighttpd", "-D", "-f", "/tmp/lighttpd.conf"])
        try:
            self.assertEqual(producer.stdout.readline(), b"ready\n")
            with kelsys.KeldSim({"sensors": [sensor]}):
                def get(query):
                    url = "http://127.0.0.1:%d/cgi-bin/camsnap?%s" % (PORT, query)
                    with urllib.request.urlopen(url, timeout=30) as r:
                        return r.headers, r.read()

                def up():
                    try:
                        return get("data=2")
                    except OSError:
                        return None
                headers, body = kelsys.wait_for(up, timeout=20)
                self.assertIn("status.bin", headers["Content-Disposition"])
                self.assertEqual(body, bytes([1, 3, 1, 1, 0x01, 0x23, 3, 1]) + b"C" +
                                 bytes([3, 4]) + b"Room")
                headers, body = get("channel=1&mode=1&data=1")
                jpeg_length = int(headers["Sensors-Data"])
                self.assertEqual(headers["Content-Type"], "image/jpeg")
                self.assertEqual(body[:2], b"\xff\xd8")
                self.assertEqual(body[jpeg_length - 2:jpeg_length], b"\xff\xd9")
                self.assertEqual(body[jpeg_length], 1)
        finally:
            server.terminate()
            producer.terminate()
            server.wait(timeout=10)
            producer.wait(timeout=10)
            producer.stdout.close()

    def test_services_start_as_their_units_say(self):
        units = [installed("pingaddrd.service"), installed("ttylaunch.service")]
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no"] + units,
                                capture_output=True, text=True)
        self.assertEqual((verify.returncode, verify.stderr), (0, ""))

        # pingaddrd with the shipped options listens on eth0 in the
        # foreground, as a simple service must, until stopped.
        subprocess.run(["ip", "link", "add", "eth0", "type", "veth", "peer", "name", "peer0"],
                       check=True)
        subprocess.run(["ip", "link", "set", "eth0", "up"], check=True)
        argv = exec_start(units[0], installed("default/pingaddrd"))
        daemon = subprocess.Popen(argv, stderr=subprocess.PIPE)
        try:
            with self.assertRaises(subprocess.TimeoutExpired):
                daemon.wait(timeout=2)
        finally:
            daemon.terminate()
            daemon.wait(timeout=10)
        self.assertIn(b"Listening for echo requests on every interface.\n", daemon.stderr.read())
        daemon.stderr.close()

        # ttylaunch writes mgetty's configuration from keld's settings and,
        # with no line enabled, ends with success; without keld it fails, so
        # that the unit restarts it.
        settings = {"MGETTY-PORT": "0", "MGETTY-INIT1": "ATZ"}
        argv = exec_start(units[1], None)
        with kelsys.KeldSim({"settings": settings}):
            done = subprocess.run(argv, capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stdout)
        with open("/etc/mgetty/mgetty.config") as f:
            self.assertIn('port ttySMX1\n    init-chat "" ATZ OK\n', f.read())
        self.assertEqual(subprocess.run(argv, capture_output=True, timeout=30).returncode, 1)

    def test_init_scripts_start_and_stop_the_daemons_with_either_tool_set(self):
        # No systemd here: the scripts under a plain shell, with dpkg's
        # start-stop-daemon and then with busybox's.  Debian's helpers would
        # hand them to a running systemd; the machine's must not be touched.
        env = dict(os.environ, _SYSTEMCTL_SKIP_REDIRECT="1")
        tool_sets = [("dpkg", ["sh"], env)]
        busybox = shutil.which("busybox")
        if busybox:
            os.makedirs("/tmp/busybox-bin", exist_ok=True)
            for applet in ("start-stop-daemon", "sleep", "cat", "rm"):
                os.symlink(busybox, "/tmp/busybox-bin/" + applet)
            tool_sets.append(("busybox", [busybox, "sh"],
                              dict(env, PATH="/tmp/busybox-bin:" + env["PATH"])))
        # The sandbox has no eth0: lo for this test only.
        options = installed("default/pingaddrd")
        with open(options) as f:
            shipped = f.read()

        def restore():
            with open(options, "w") as f:
                f.write(shipped)
        self.addCleanup(restore)
        with open(options, "a") as f:
            f.write('PINGADDRD_OPTS="-c -i lo"\n')
        tl.install_standin()
        tl.hold("ttySMX0")

        def script(shell, env, name, action):
            return subprocess.run(shell + [installed("init.d/" + name), action], env=env,
                                  capture_output=True, text=True, timeout=60)

        def alive(pid):
            return not tl.gone(pid)

        def comm(pid):
            with open("/proc/%d/comm" % pid) as f:
                return f.read().strip()

        with kelsys.KeldSim(tl.state("1", ips={0: "192.0.2.2"})):
            for tools, shell, env in tool_sets:
                for name in ("pingaddrd", "ttylaunch"):
                    with self.subTest(tools=tools, daemon=name):
                        mgetty_starts = len(tl.starts())
                        done = script(shell, env, name, "start")
                        self.assertEqual(done.returncode, 0, done)
                        with open("/run/%s.pid" % name) as f:
                            pid = int(f.read())
                        self.assertTrue(tl.wait_until(lambda: comm(pid) == name, 10), comm(pid))
                        self.assertEqual(script(shell, env, name, "status").returncode, 0)
                        self.assertEqual(script(shell, env, name, "start").returncode, 0)
                        mgetty = None
                        if name == "ttylaunch":
                            self.assertTrue(tl.wait_until(
                                lambda: len(tl.starts()) > mgetty_starts, 10), tl.runs())
                            mgetty = tl.starts()[-1]["pid"]
                        time.sleep(1)
                        self.assertTrue(alive(pid), name + " ended by itself")
                        done = script(shell, env, name, "stop")
                        self.assertEqual(done.returncode, 0, done)
                        self.assertFalse(alive(pid), name + " left running")
                        if mgetty:
                            self.assertFalse(alive(mgetty), "mgetty left running")
                        self.assertFalse(os.path.exists("/run/%s.pid" % name))
                        self.assertEqual(script(shell, env, name, "status").returncode, 3)


if __name__ == "__main__":
    kelsys.main()
