"""scripts/demo when it cannot have what it needs: a taken port, a camera
producer or a daemon already running.  Each time a clear message, a failing
status, and nothing of its own left running or lying about; what was there
before is left as it was."""

import socket
import unittest
import urllib.request

import kelsys
from demosys import (KEYS, CaptureSim, Demo, demo_leftovers, pids_of, port_listening,
                     take_frame)


class Refusals(unittest.TestCase):
    def assert_refused(self, demo, message, keep=()):
        """demo ended with message; nothing runs but the pids in keep."""
        status, err = demo.stop()
        self.assertEqual(status, 1, err)
        self.assertIn(message, err)
        self.assertNotIn(b"Ctrl-C", demo.output())
        for name in ("lighttpd", "keld-sim", "capture-sim"):
            self.assertEqual([p for p in pids_of(name) if p not in keep], [], name)
        return err

    def test_taken_port(self):
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", 8080))
            s.listen(1)
            err = self.assert_refused(Demo(), b"127.0.0.1:8080 is taken")
            self.assertEqual(demo_leftovers(), ([], []), err)

    def test_camera_semaphores_of_another_producer(self):
        with CaptureSim("0") as other:
            err = self.assert_refused(Demo(), b"another producer (pid %d)" % other.proc.pid,
                                      keep=[other.proc.pid])
            self.assertIn(b"nothing is left running", err)
            # The other producer's semaphores and file are untouched.
            keys, files = demo_leftovers()
            self.assertEqual(keys, KEYS)
            self.assertEqual(files, ["/tmp/raw.camsnap", "/tmp/.capture-sim.lock"])
            self.assertIsNotNone(take_frame(0))
            self.assertFalse(port_listening(8080))

    def test_daemon_already_running(self):
        with kelsys.KeldSim({}) as keld:
            err = self.assert_refused(Demo(), b"a daemon already answers",
                                      keep=[keld.proc.pid])
            self.assertEqual(keld.proc.poll(), None)
            self.assertEqual(demo_leftovers()[0], [], err)
            self.assertTrue(kelsys.run("keldcheck").returncode == 0)

    def test_other_port_serves_the_page(self):
        demo = Demo(port=8181)
        try:
            self.assertIn(b"http://127.0.0.1:8181/", demo.output())
            with urllib.request.urlopen("http://127.0.0.1:8181/", timeout=20) as r:
                self.assertIn(b"demo.js", r.read())
            with urllib.request.urlopen(
                    "http://127.0.0.1:8181/cgi-bin/camsnap?channel=3&data=1", timeout=20) as r:
                body = r.read()
                offset = int(r.headers["Sensors-Data"])
            self.assertEqual(r.headers["Content-Type"], "image/jpeg")
            self.assertEqual(len(body), int(r.headers["Content-Length"]))
            self.assertTrue(body.startswith(b"\xff\xd8"))
            self.assertEqual(body[offset - 2:offset], b"\xff\xd9")
            self.assertEqual(body[offset], 8)  # the example state's eight sensors
        finally:
            status, err = demo.stop()
        self.assertEqual(status, 0, err)
        self.assertEqual(demo_leftovers(), ([], []))


if __name__ == "__main__":
    kelsys.main()
