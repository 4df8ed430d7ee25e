"""camsnap where the camera side misbehaves: every request still gets a
complete, decodable answer (or the error page), in bounded time, and the
shared frame file is never changed."""

import os
import signal
import subprocess
import threading
import time
import unittest

import camsnapsys as cs
import kelsys
from semsys import sem_op, sem_value, sem_waiting



def picture(test, r):
    """The JPEG of a picture answer, after checking the answer is whole."""
    test.assertEqual(r.proc.returncode, 0, r.stderr)
    test.assertEqual(r.header("Content-Type"), "image/jpeg", r.raw[:200])
    test.assertEqual(len(r.body), int(r.header("Content-Length")))
    return r.body[:int(r.header("Sensors-Data"))]


def stopped(pid):
    return kelsys.proc_stat(pid)[0] == "T"


class Faults(unittest.TestCase):
    def setUp(self):
        cs.frametool("create")

    def tearDown(self):
        cs.frametool("remove", *range(12000, 12008))
        for path in (cs.RAW,):
            if os.path.lexists(path):
                os.unlink(path)

    def assert_blank(self, jpeg, size):
        w, h, rgb, err = cs.djpeg(jpeg, gray=False)
        self.assertEqual((w, h), size)
        self.assertEqual(err, "")
        # Dark grey everywhere: Y 16 with neutral chroma is 16, 16, 16 in RGB.
        # A reduction by 2 takes U[0] into the last luma sample (its right
        # taps wrap onto the next row, as the averaging always has), so the
        # bottom right block may be a little lighter.
        corner = [i for r in range(h - 8, h) for i in range((r * w + w - 8) * 3, (r * w + w) * 3)]
        rest = bytearray(rgb)
        for i in corner:
            rest[i] = 16
        self.assertLessEqual(max(rest), 19)
        self.assertGreaterEqual(min(rest), 13)
        self.assertLessEqual(max(rgb[i] for i in corner), 60)

    def test_unreadable_frame_gives_a_blank_picture(self):
        cases = [("no file", None, "cannot open raw file! (/tmp/raw.camsnap)"),
                 ("short file", cs.uniform(1, 1, 200)[:200000], "too short"),
                 ("flag too big for its image", cs.uniform(0, 1, 200)[:2] and
                  bytes([1, 1]) + cs.uniform(0, 1, 200)[2:], "too short"),
                 # Opened for reading, a FIFO with no writer would hold the
                 # request for ever.
                 ("a FIFO in its place", "fifo", "not a regular file")]
        with cs.Producer({1: None}):
            for what, data, message in cases:
                if data is None or data == "fifo":
                    if os.path.lexists(cs.RAW):
                        os.unlink(cs.RAW)
                    if data:
                        os.mkfifo(cs.RAW)
                else:
                    cs.write_raw(data)
                for mode, size in (("0", (320, 240)), ("1", (320, 240)), ("2", (160, 120)),
                                   ("3", (80, 60))):
                    with self.subTest(what, mode=mode):
                        r = cs.camsnap("channel=1&mode=" + mode)
                        self.assert_blank(picture(self, r), size)
                        self.assertIn(message, r.stderr)
            # A camera that raises the channel but writes only other channels'
            # frames is not dead, as a blank picture would say.
            os.unlink(cs.RAW)  # the FIFO
            cs.write_raw(cs.uniform(1, 2, 200))
            r = cs.camsnap("channel=1")
            self.assertEqual(r.raw, cs.ERROR_PAGE)
            self.assertIn("raw file is 2, needed 1.", r.stderr)

    def test_frame_of_another_channel_is_waited_past(self):
        # Channel 1 is raised while the file holds the next channel's frame,
        # as when the camera moved on before the reader took its read unit;
        # channel 1's own frame arrives half a second later.  The request
        # waits for it instead of answering a blank, in both views.
        def put_later(data):
            cs.write_raw(data, cs.RAW + ".new")
            os.rename(cs.RAW + ".new", cs.RAW)
        others = {ch: cs.frame_file("o%d" % ch, cs.uniform(1, ch, 60)) for ch in (0, 2, 3)}
        with cs.Producer({**others, 1: None}):
            for query in ("channel=1&mode=1", "channel=4&mode=1"):
                with self.subTest(query=query):
                    cs.write_raw(cs.uniform(1, 2, 200) if query.startswith("channel=1") else
                                 cs.uniform(1, 0, 60))
                    later = threading.Timer(0.5, put_later, [cs.uniform(1, 1, 150)])
                    later.start()
                    r = cs.camsnap(query)
                    later.join()
                    w, h, gray, _ = cs.djpeg(picture(self, r))
                    self.assertEqual((w, h), (320, 240))
                    x0 = 0 if query.startswith("channel=1") else w // 2
                    self.assertAlmostEqual(cs.mean_luma(gray, w, x0 + 20, 20, x0 + 140, 100),
                                           150, delta=4)
                    self.assertEqual(r.stderr, "")

    def test_unavailable_quad_channel_leaves_a_blank_quarter(self):
        frames = {ch: cs.frame_file("q%d" % ch, cs.uniform(1, ch, 60 + 40 * ch)) for ch in (0, 1, 3)}
        frames[2] = None  # raised, but the file never holds channel 2
        with cs.Producer(frames):
            for mode in ("0", "1", "2"):
                with self.subTest(mode=mode):
                    w, h, gray, _ = cs.djpeg(picture(self, cs.camsnap("channel=4&mode=" + mode)))
                    corners = [(0, 0), (w // 2, 0), (0, h // 2), (w // 2, h // 2)]
                    for ch, (x, y) in enumerate(corners):
                        m = cs.mean_luma(gray, w, x + w // 8, y + h // 8, x + w * 3 // 8,
                                         y + h * 3 // 8)
                        self.assertAlmostEqual(m, 16 if ch == 2 else 60 + 40 * ch, delta=4,
                                               msg="quarter %d" % ch)

    def test_camera_that_never_delivers(self):
        frames = {ch: cs.frame_file("n%d" % ch, cs.uniform(0, ch, 50 + 50 * ch)) for ch in (0, 1, 2)}
        with cs.Producer(frames):
            start = time.monotonic()
            r = cs.camsnap("channel=3", timeout=30)
            took = time.monotonic() - start
            self.assertEqual(r.raw, cs.ERROR_PAGE)
            self.assertGreater(took, 2.5)
            self.assertLess(took, 15)

            start = time.monotonic()
            w, h, gray, _ = cs.djpeg(picture(self, cs.camsnap("channel=5&mode=1", timeout=30)))
            took = time.monotonic() - start
            self.assertLess(took, 15)
            self.assertAlmostEqual(cs.mean_luma(gray, w, 170, 130, 310, 230), 16, delta=4)
            self.assertAlmostEqual(cs.mean_luma(gray, w, 10, 130, 150, 230), 150, delta=4)
        # With no producer at all, a quad view still answers, all blank.
        r = cs.camsnap("channel=4&mode=2", timeout=60)
        self.assert_blank(picture(self, r), (160, 120))

    def test_oversized_picture_is_sent_whole_at_a_lower_quality(self):
        frame = cs.frame_file("detail", cs.detailed(1, 0))
        with cs.Producer({0: frame}):
            for query, size in (("channel=0", (640, 480)), ("channel=0&jq=95", (640, 480)),
                                ("channel=4", (640, 480))):
                with self.subTest(query=query):
                    jpeg = picture(self, cs.camsnap(query))
                    self.assertLess(len(jpeg), 51200)
                    self.assertEqual(cs.sof_size(jpeg), size)
                    w, h, _, err = cs.djpeg(jpeg)
                    self.assertEqual(err, "", "djpeg warned: the stream is damaged")
                    self.assertEqual(jpeg[-2:], b"\xff\xd9")
            jpeg = picture(self, cs.camsnap("channel=0"))
            self.assertNotEqual(cs.quality_table(jpeg), cs.luma_table(64))
            # Only as much lower as needed: still most of the area.
            self.assertGreater(len(jpeg), 51200 // 2)

    def test_frame_file_is_never_changed(self):
        frame = cs.frame_file("keep", cs.halves(1, 0))
        with cs.Producer({0: frame}):
            cs.camsnap("channel=0")  # the producer writes the file once
            before = cs.digest()
            for query in ("channel=0", "channel=0&mode=1", "channel=0&mode=2", "channel=0&mode=3",
                          "channel=4&mode=0", "channel=4&mode=1", "channel=4&mode=2"):
                with self.subTest(query=query):
                    r = cs.camsnap(query)
                    picture(self, r)
                    self.assertEqual(cs.digest(), before)

    def test_eight_concurrent_requests_for_one_channel_all_get_the_picture(self):
        frame = cs.frame_file("many", cs.halves(1, 2))
        results = [None] * 8
        with cs.Producer({2: frame}):
            def one(i):
                results[i] = cs.camsnap("channel=2&mode=%d" % (i % 3), timeout=60)
            threads = [threading.Thread(target=one, args=(i,)) for i in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        sizes = [(640, 480), (320, 240), (160, 120)]
        for i, r in enumerate(results):
            with self.subTest(request=i):
                w, h, gray, err = cs.djpeg(picture(self, r))
                self.assertEqual((w, h), sizes[i % 3])
                self.assertEqual(err, "")
                self.assertAlmostEqual(cs.mean_luma(gray, w, 0, 0, w // 4, h), 60, delta=4)
                self.assertAlmostEqual(cs.mean_luma(gray, w, w * 3 // 4, 0, w, h), 190, delta=4)

    def test_one_raise_lets_two_waiting_readers_through(self):
        # No producer: one raise by hand, once both readers wait.  The first
        # reader's release must pass the frame on to the second, and leave
        # both semaphores as it found them.
        cs.write_raw(cs.halves(0, 1))
        env = dict(os.environ, QUERY_STRING="channel=1&mode=2")
        procs = [subprocess.Popen([kelsys.binary("camsnap")], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE) for _ in range(2)]
        self.assertTrue(kelsys.wait_for(lambda: sem_waiting(12001) == 2, timeout=5))
        self.assertTrue(sem_op(12001, +1))
        for i, proc in enumerate(procs):
            out, err = proc.communicate(timeout=30)
            proc.stdout = out
            proc.stderr = err
            with self.subTest(reader=i):
                w, h, gray, err = cs.djpeg(picture(self, cs.Response(proc)))
                self.assertEqual((w, h), (160, 120))
                self.assertAlmostEqual(cs.mean_luma(gray, w, 0, 0, w // 4, h), 60, delta=4)
        self.assertEqual((sem_value(12001), sem_value(12005)), (1, 1))

    def test_quad_view_waits_for_its_four_channels_together(self):
        # No producer: the file holds channel 3's frame, raised by hand once
        # the view waits.  A view that waits for the channels one after the
        # other would then still wait for channel 0, and drop that raise
        # when it came to channel 3; three dead cameras would cost it three
        # bounds, four dead ones four.
        cs.write_raw(cs.uniform(1, 3, 200))
        env = dict(os.environ, QUERY_STRING="channel=4&mode=1")
        start = time.monotonic()
        proc = subprocess.Popen([kelsys.binary("camsnap")], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.assertTrue(kelsys.wait_for(lambda: any(sem_waiting(12000 + ch) for ch in range(4)),
                                        timeout=5))
        self.assertTrue(sem_op(12003, +1))
        proc.stdout, proc.stderr = proc.communicate(timeout=60)
        took = time.monotonic() - start
        w, h, gray, _ = cs.djpeg(picture(self, cs.Response(proc)))
        self.assertEqual((w, h), (320, 240))
        for ch, (x, y) in enumerate([(0, 0), (160, 0), (0, 120), (160, 120)]):
            self.assertAlmostEqual(cs.mean_luma(gray, w, x + 20, y + 20, x + 140, y + 100),
                                   200 if ch == 3 else 16, delta=4, msg="quarter %d" % ch)
        self.assertLess(took, 2 * 3)  # one 3 s bound for the view

    def test_request_killed_while_reading_does_not_close_the_channel(self):
        # Catch a request while it holds the read unit (it encodes a detailed
        # frame, several times over), stop it, make sure it still holds the
        # unit, and kill it there.
        frame = cs.frame_file("killed", cs.detailed(1, 0))
        with cs.Producer({0: frame}):
            env = dict(os.environ, QUERY_STRING="channel=0")
            killed_holding = False
            for _ in range(50):
                proc = subprocess.Popen([kelsys.binary("camsnap")], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                while proc.poll() is None and sem_value(12004) != 0:
                    pass
                if proc.poll() is None:
                    proc.send_signal(signal.SIGSTOP)
                    kelsys.wait_for(lambda: stopped(proc.pid), timeout=5)
                    if sem_value(12004) == 0:
                        proc.send_signal(signal.SIGKILL)
                        killed_holding = True
                    proc.send_signal(signal.SIGCONT)
                proc.wait()
                if killed_holding:
                    break
            self.assertTrue(killed_holding, "no request was caught holding the read unit")
            self.assertEqual(proc.returncode, -signal.SIGKILL)
            self.assertTrue(kelsys.wait_for(lambda: sem_value(12004) == 1, timeout=5))
            w, h, _, _ = cs.djpeg(picture(self, cs.camsnap("channel=0")))
            self.assertEqual((w, h), (640, 480))


if __name__ == "__main__":
    kelsys.main()
