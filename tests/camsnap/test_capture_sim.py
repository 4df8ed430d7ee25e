"""camsnap behind the realistic stand-in camera, capture-sim: every channel
at both sizes, the detailed channel that overflows the JPEG area, fresh
frames, readers at once, and a camera that stops."""

import os
import signal
import subprocess
import threading
import unittest

import camsnapsys as cs
import kelsys



class WithCaptureSim(unittest.TestCase):
    def setUp(self):
        self.sim = subprocess.Popen([kelsys.binary("capture-sim"), "-r", "100", "0", "1:320x240",
                                     "2", "3"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.sim.stdout.readline()
        self.assertEqual(line, b"ready\n", self.sim.stderr.read1(4096) if not line else line)

    def tearDown(self):
        self.sim.terminate()
        self.sim.wait(timeout=20)
        self.sim.stdout.close()
        self.sim.stderr.close()

    def picture(self, query):
        r = cs.camsnap(query)
        self.assertEqual(r.proc.returncode, 0, r.stderr)
        self.assertEqual(r.header("Content-Type"), "image/jpeg", r.raw[:100])
        self.assertEqual(len(r.body), int(r.header("Content-Length")))
        w, h, gray, err = cs.djpeg(r.body)
        self.assertEqual(err, "")
        return (w, h), gray, r.body

    def test_every_channel_and_view(self):
        cases = [("channel=0", (640, 480)), ("channel=1", (320, 240)), ("channel=2&mode=1", (320, 240)),
                 ("channel=3&mode=3", (80, 60)), ("channel=1&mode=2", (160, 120)),
                 ("channel=4", (640, 480)), ("channel=4&mode=1", (320, 240)),
                 ("channel=4&mode=2", (160, 120))]
        for query, size in cases:
            with self.subTest(query=query):
                got, _, body = self.picture(query)
                self.assertEqual(got, size)
                self.assertLess(len(body), 51200)

    def test_frames_are_fresh(self):
        _, first, _ = self.picture("channel=2")
        _, second, _ = self.picture("channel=2")
        self.assertNotEqual(first, second, "the frame counter should have moved")

    def test_readers_at_once(self):
        results = [None] * 8
        def one(i):
            results[i] = cs.camsnap("channel=%d&mode=1" % (i % 2), timeout=60)
        threads = [threading.Thread(target=one, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for i, r in enumerate(results):
            with self.subTest(request=i):
                self.assertEqual(r.header("Content-Type"), "image/jpeg", r.stderr)
                self.assertEqual(cs.djpeg(r.body)[:2], (320, 240))
                self.assertNotIn("needed", r.stderr, "a frame of another channel was read")

    def test_stopped_camera(self):
        self.sim.send_signal(signal.SIGUSR1)  # channel 3, the last listed, stops
        r = cs.camsnap("channel=3", timeout=30)
        self.assertEqual(r.raw, cs.ERROR_PAGE)
        size, gray, _ = self.picture("channel=4&mode=1")
        self.assertAlmostEqual(cs.mean_luma(gray, 320, 180, 140, 300, 220), 16, delta=4)
        self.sim.send_signal(signal.SIGUSR2)
        self.assertEqual(self.picture("channel=3")[0], (640, 480))


if __name__ == "__main__":
    kelsys.main()
