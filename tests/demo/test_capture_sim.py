"""capture-sim, the stand-in camera: what it creates, the frames it writes,
how it shares the file with readers, how it refuses and how it cleans up."""

import os
import signal
import subprocess
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import kelsys
from demosys import (CaptureSim, KEYS, LARGEST, LOCK, RAW, READ_BASE, WRITE_BASE, frame_size,
                     leftovers, planes, run_capture, take_frame, to_ppm)
from semsys import sem_create, sem_op, sem_remove, sem_value, sysv_semaphores


def write_y4m(path, width, height, lumas, header_extra="C420jpeg"):
    """A clip of flat frames: luma from lumas, U 90, V 170."""
    with open(path, "wb") as f:
        f.write(b"YUV4MPEG2 W%d H%d F25:1 Ip A1:1 %s\n" % (width, height,
                                                         header_extra.encode()))
        for luma in lumas:
            f.write(b"FRAME\n")
            f.write(bytes([luma]) * (width * height))
            f.write(bytes([90]) * (width * height // 4))
            f.write(bytes([170]) * (width * height // 4))


class Producer(unittest.TestCase):
    def tearDown(self):
        for key in KEYS:
            sem_remove(key)
        for path in (RAW, LOCK):
            if os.path.exists(path):
                os.unlink(path)

    def test_creates_semaphores_and_file(self):
        with CaptureSim("0", "2:320x240"):
            sems = sysv_semaphores()
            for key in KEYS:
                with self.subTest(key=key):
                    self.assertIn(key, sems)
                    self.assertEqual(sems[key], (0o666, 1))
            for channel in range(4):
                self.assertEqual(sem_value(READ_BASE + channel), 1)
            # Channels not served are never raised.
            self.assertEqual(sem_value(WRITE_BASE + 1), 0)
            self.assertEqual(sem_value(WRITE_BASE + 3), 0)
            st = os.stat(RAW)
            self.assertEqual(st.st_mode & 0o777, 0o666)
            self.assertEqual(st.st_size, LARGEST)

    def test_frames_of_each_channel_are_complete_and_fresh(self):
        with CaptureSim("0", "1:320x240", "3"):
            for channel, size in ((0, (640, 480)), (1, (320, 240)), (3, (640, 480))):
                with self.subTest(channel=channel):
                    first = take_frame(channel)
                    second = take_frame(channel)
                    self.assertIsNotNone(first)
                    self.assertIsNotNone(second)
                    self.assertEqual(first[1], channel)
                    self.assertEqual(frame_size(first), size)
                    self.assertEqual(len(first), LARGEST)
                    w, h, y1, u1, v1 = planes(first)
                    y2 = planes(second)[2]
                    # The counter box in the top left changes with every frame.
                    box = slice(0, w * h // 20)
                    self.assertNotEqual(y1[box], y2[box])
                    self.assertNotEqual(y1, y2)
                    # A scene, not a flat or empty picture.
                    self.assertGreater(len(set(y1)), 100)
                    self.assertGreater(len(set(u1)) + len(set(v1)), 20)

    def test_rate_is_shared_by_the_channels(self):
        with CaptureSim("-r", "20", "0", "1"):
            take_frame(0)
            frames = 0
            end = time.monotonic() + 2.0
            while time.monotonic() < end:
                if take_frame(0, timeout=1.0) is not None:
                    frames += 1
            # 20 a second over two channels: about 10 a second each.
            self.assertGreaterEqual(frames, 8)
            self.assertLessEqual(frames, 26)

    def test_file_is_not_rewritten_while_a_reader_holds_its_channel(self):
        with CaptureSim("-r", "100", "0", "1", "2"):
            for held in (0, 2, 1):
                with self.subTest(held=held):
                    self.assertTrue(sem_op(READ_BASE + held, -1, 3))
                    try:
                        with open(RAW, "rb") as f:
                            start = f.read()
                        samples = []
                        end = time.monotonic() + 0.6
                        while time.monotonic() < end:
                            with open(RAW, "rb") as f:
                                samples.append(f.read())
                            time.sleep(0.01)
                    finally:
                        sem_op(READ_BASE + held, 1)
                    if start[1] == held:
                        # Its frame stays exactly as it was.
                        self.assertTrue(all(s == start for s in samples))
                    else:
                        # No frame of the held channel is written meanwhile.
                        self.assertNotIn(held, [s[1] for s in samples])
                    self.assertIsNotNone(take_frame(held))

    def test_readers_of_a_fresh_frame_get_it_even_at_full_speed(self):
        # Readers woken by a frame, and those their release lets through,
        # find their channel's frame in the file, not the next channel's.
        # camsnap is the reader: between resetting a write semaphore and
        # waiting on it a reader holds nothing, and a Python reader can stay
        # there long enough for the camera to move on, as the protocol lets it.
        def reader(channel):
            env = dict(os.environ, QUERY_STRING="channel=%d&mode=3" % channel)
            return [subprocess.run([kelsys.binary("camsnap")], env=env, capture_output=True,
                                   timeout=30) for _ in range(8)]
        channels = [0, 0, 0, 1, 1, 2]
        with CaptureSim("-r", "0", "0", "1", "2:320x240"):
            with ThreadPoolExecutor(len(channels)) as pool:
                results = list(pool.map(reader, channels))
        for channel, runs in zip(channels, results):
            with self.subTest(channel=channel):
                # A frame of another channel would show as "raw file is ...".
                self.assertEqual([r.stderr for r in runs], [b""] * 8)
                self.assertTrue(all(r.stdout.startswith(b"Content-Type: image/jpeg\r\n")
                                    for r in runs))

    def test_stopped_channel_delivers_nothing_until_started(self):
        with CaptureSim("0", "2") as cam:
            self.assertIsNotNone(take_frame(2))
            cam.send(signal.SIGUSR1)
            time.sleep(0.3)
            self.assertIsNone(take_frame(2, timeout=1.0))
            self.assertIsNotNone(take_frame(0))
            cam.send(signal.SIGUSR2)
            self.assertIsNotNone(take_frame(2))

    def test_pictures_compress_like_camera_pictures(self):
        # Realistic sizes at quality 64: the detailed channel 0 near the
        # 51200 bytes camsnap's JPEG area holds, the others well below.
        with CaptureSim("0", "1", "2:320x240"):
            frames = {c: take_frame(c) for c in (0, 1, 2)}
        limits = {0: (42000, 90000), 1: (20000, 60000), 2: (5000, 25000)}
        for channel, (low, high) in limits.items():
            with self.subTest(channel=channel):
                jpeg = subprocess.run(["cjpeg", "-quality", "64", "-sample", "2x2,1x1,1x1"],
                                      input=to_ppm(frames[channel]), capture_output=True,
                                      check=True).stdout
                self.assertTrue(jpeg.startswith(b"\xff\xd8"))
                self.assertGreater(len(jpeg), low)
                self.assertLess(len(jpeg), high)

    def test_frames_from_a_y4m_file(self):
        clip = os.path.join(tempfile.mkdtemp(), "clip.y4m")
        write_y4m(clip, 320, 240, [40, 120, 200])
        with CaptureSim("-y", clip, "0:320x240", "1"):
            for channel, size in ((0, (320, 240)), (1, (640, 480))):
                with self.subTest(channel=channel):
                    lumas = set()
                    for _ in range(4):
                        data = take_frame(channel)
                        self.assertEqual(frame_size(data), size)
                        w, h, y, u, v = planes(data)
                        # Below the overlay the clip shows through, with grain.
                        row = y[(h - 10) * w:(h - 9) * w]
                        base = min((40, 120, 200), key=lambda l: abs(l - row[0]))
                        self.assertTrue(all(abs(s - base) <= 8 for s in row))
                        lumas.add(base)
                        self.assertEqual(set(u[-w // 2:]), {90})
                        self.assertEqual(set(v[-w // 2:]), {170})
                    self.assertGreater(len(lumas), 1)

    def test_unusable_y4m_files_are_refused(self):
        folder = tempfile.mkdtemp()
        cases = {
            "size": (352, 288, "C420jpeg", [100], "352x288"),
            "sampling": (320, 240, "C422", [100], "not 4:2:0"),
            "no frames": (320, 240, "C420jpeg", [], "cannot read a frame"),
        }
        for name, (w, h, extra, lumas, message) in cases.items():
            with self.subTest(name=name):
                clip = os.path.join(folder, name.replace(" ", "-") + ".y4m")
                write_y4m(clip, w, h, lumas, extra)
                result = run_capture("-y", clip, "0")
                self.assertEqual(result.returncode, 1)
                self.assertIn(message.encode(), result.stderr)
                self.assertEqual(leftovers(), ([], []))
        result = run_capture("-y", os.path.join(folder, "missing.y4m"), "0")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(leftovers(), ([], []))

    def test_bad_command_lines_are_refused(self):
        for args in ([], ["4"], ["0:800x600"], ["0", "0"], ["-r", "x", "0"], ["-r", "", "0"],
                     ["0", "1", "2", "3", "1"]):
            with self.subTest(args=args):
                result = run_capture(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(b"usage", result.stderr)
                self.assertEqual(leftovers(), ([], []))


class Ownership(unittest.TestCase):
    def tearDown(self):
        Producer.tearDown(self)

    def test_second_producer_is_refused_and_first_unharmed(self):
        with CaptureSim("0") as first:
            result = run_capture("0", "1")
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"another producer (pid %d)" % first.proc.pid, result.stderr)
            self.assertEqual(leftovers()[0], KEYS)
            self.assertIsNotNone(take_frame(0))

    def test_foreign_semaphores_are_refused_and_left_alone(self):
        sem_create(12005, 1)
        result = run_capture("0")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"semaphore key 12005 already exists", result.stderr)
        self.assertEqual(leftovers(), ([12005], []))
        self.assertEqual(sem_value(12005), 1)

    def test_leftovers_of_a_killed_producer_are_taken_over(self):
        cam = CaptureSim("0")
        cam.stop(signal.SIGKILL)
        self.assertEqual(leftovers()[0], KEYS)
        with CaptureSim("0", "1"):
            self.assertIsNotNone(take_frame(1))

    def test_stop_removes_everything(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                cam = CaptureSim("0", "3:320x240")
                # A reader holding a channel, which keeps the producer
                # waiting, does not keep it from ending.
                self.assertTrue(sem_op(READ_BASE + 3, -1, 3))
                time.sleep(0.2)
                status, err = cam.stop(sig)
                self.assertEqual(status, 0, err)
                self.assertEqual(leftovers(), ([], []))


if __name__ == "__main__":
    kelsys.main()
