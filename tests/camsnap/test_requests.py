"""camsnap's answers through the real binary: every form of request, its
header block, body length, picture size and quality, and the sensor record."""

import calendar
import glob
import re
import time
import unittest

import camsnapsys as cs
import kelsys
from semsys import sysv_semaphores

PICTURE_HEADERS = ["Content-Type", "Content-Length", "Expires", "Last-Modified",
                   "Cache-Control", "Pragma", "Sensors-Data"]
STATUS_HEADERS = ["Content-Type", "Content-Length", "Content-Disposition", "Expires",
                  "Last-Modified", "Cache-Control", "Pragma", "Sensors-Data"]
ROOM = {"type": 1, "port": 3, "status": 1, "value": 0x0123, "fahrenheit": True,
        "description": "Room"}
ROOM_RECORD = bytes([1, 3, 1, 1, 0x01, 0x23, 3, 1]) + b"F" + bytes([3, 4]) + b"Room"
FAKETIME = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + ["libfaketime is not installed"])[0]
# Each channel's frame has its own brightness, so a picture tells its source.
LUMA = {0: 40, 1: 90, 2: 140, 3: 200}
STEP = 20


class Requests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cs.frametool("create")
        cls.files = {}
        for ch, flag in ((0, 1), (1, 0), (2, 1), (3, 0)):
            # Each channel's own level, a step darker on the left half and
            # lighter on the right, so that a picture cut out instead of
            # reduced shows.
            cls.files[ch] = cs.frame_file("ch%d" % ch, cs.halves(flag, ch, LUMA[ch] - STEP,
                                                                  LUMA[ch] + STEP))
        cls.files["halves640"] = cs.frame_file("h640", cs.halves(1, 0))
        cls.files["halves320"] = cs.frame_file("h320", cs.halves(0, 1))
        cls.producer = cs.Producer({ch: cls.files[ch] for ch in range(4)})

    @classmethod
    def tearDownClass(cls):
        cls.producer.stop()

    def check_form(self, r, record=b"", status_bin=False, stderr=""):
        """The header block and body of a well-formed answer; returns the JPEG.
        Every camera here delivers: a request that has anything to say on
        standard error beyond stderr went wrong somewhere, whatever it sent."""
        self.assertEqual(r.proc.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, stderr)
        self.assertTrue(r.complete, r.raw[:200])
        self.assertTrue(r.header_text.endswith(b"\r\n\r\n"))
        self.assertNotIn(b"\n", r.header_text.replace(b"\r\n", b""), "bare LF in the header")
        self.assertEqual(r.names(), STATUS_HEADERS if status_bin else PICTURE_HEADERS)
        length = int(r.header("Content-Length"))
        self.assertEqual(len(r.body), length)
        offset = int(r.header("Sensors-Data"))
        self.assertEqual(r.body[offset:], record)
        self.assertEqual(r.header("Expires"), "Mon, 26 Jul 1997 05:00:00 GMT")
        self.assertEqual(r.header("Cache-Control"), "no-cache, must-revalidate")
        self.assertEqual(r.header("Pragma"), "no-cache")
        if status_bin:
            self.assertEqual(r.header("Content-Type"), "application/octet-stream")
            self.assertEqual(r.header("Content-Disposition"), 'attachment; filename="status.bin"')
            self.assertEqual(offset, 0)
            return None
        self.assertEqual(r.header("Content-Type"), "image/jpeg")
        jpeg = r.body[:offset]
        self.assertEqual(jpeg[:2], b"\xff\xd8")
        self.assertEqual(jpeg[-2:], b"\xff\xd9")
        return jpeg

    def test_single_channel_sizes_in_every_mode(self):
        cases = [(1, "0", (640, 480)), (1, "1", (320, 240)), (1, "2", (160, 120)),
                 (1, "3", (80, 60)), (1, "5", (80, 60)), (1, "-1", (80, 60)),
                 (0, "0", (320, 240)), (0, "1", (320, 240)), (0, "2", (160, 120)),
                 (0, "3", (80, 60)), (0, "-1", (80, 60))]
        self.producer.stop()
        try:
            with cs.Producer({0: self.files["halves640"], 1: self.files["halves320"]}):
                for flag, mode, size in cases:
                    with self.subTest(source=cs.SIZES[flag], mode=mode):
                        ch = 0 if flag else 1
                        jpeg = self.check_form(cs.camsnap("channel=%d&mode=%s" % (ch, mode)))
                        self.assertEqual(cs.sof_size(jpeg), size)
                        w, h, gray, _ = cs.djpeg(jpeg)
                        self.assertEqual((w, h), size)
                        # The picture is the frame, reduced: dark left, light right.
                        self.assertAlmostEqual(cs.mean_luma(gray, w, 0, 0, w // 4, h), 60, delta=4)
                        self.assertAlmostEqual(cs.mean_luma(gray, w, w * 3 // 4, 0, w, h), 190,
                                               delta=4)
        finally:
            type(self).producer = cs.Producer({ch: self.files[ch] for ch in range(4)})

    def test_quad_view_sizes_and_quarters(self):
        cases = [("channel=4&mode=0", (640, 480)), ("channel=4&mode=1", (320, 240)),
                 ("channel=7&mode=2", (160, 120)), ("channel=9&mode=-1", (160, 120)),
                 ("channel=4&mode=5", (160, 120)), ("channel=99", (640, 480))]
        for query, size in cases:
            with self.subTest(query=query):
                jpeg = self.check_form(cs.camsnap(query))
                self.assertEqual(cs.sof_size(jpeg), size)
                w, h, gray, _ = cs.djpeg(jpeg)
                for ch, (x, y) in enumerate([(0, 0), (w // 2, 0), (0, h // 2), (w // 2, h // 2)]):
                    # Each half of each quarter, clear of its middle.
                    top, bottom = y + h // 8, y + h * 3 // 8
                    left = cs.mean_luma(gray, w, x + w // 32, top, x + w * 5 // 32, bottom)
                    right = cs.mean_luma(gray, w, x + w * 11 // 32, top, x + w * 15 // 32, bottom)
                    self.assertAlmostEqual(left, LUMA[ch] - STEP, delta=4, msg="quarter %d" % ch)
                    self.assertAlmostEqual(right, LUMA[ch] + STEP, delta=4, msg="quarter %d" % ch)

    def test_quality_reaches_the_encoder(self):
        cases = [("", 64), ("&jq=30", 30), ("&jq=90", 90), ("&jq=abc", 64), ("&jq=0", 1),
                 ("&jq=150", 100), ("&jq=+75", 75), ("&jq= 20", 20)]
        for suffix, quality in cases:
            for base in ("channel=0", "channel=4&mode=2"):
                with self.subTest(query=base + suffix):
                    jpeg = self.check_form(cs.camsnap(base + suffix))
                    self.assertEqual(cs.quality_table(jpeg), cs.luma_table(quality))

    def test_query_keys_are_found_anywhere(self):
        cases = [(None, 0, (640, 480)), ("", 0, (640, 480)), ("xchannel=2", 2, (640, 480)),
                 ("foo&channel=3&mode=2", 3, (160, 120)), ("channel=1x&mode=zz", 1, (320, 240)),
                 ("channel=%31", 0, (640, 480)), ("mode=1&channel=2&channel=0", 2, (320, 240))]
        for query, ch, size in cases:
            with self.subTest(query=query):
                r = cs.camsnap(query)
                w, h, gray, _ = cs.djpeg(self.check_form(r))
                self.assertEqual((w, h), size, r.stderr)
                self.assertAlmostEqual(cs.mean_luma(gray, w, 0, 0, w, h), LUMA[ch], delta=3)

    def test_last_modified_is_the_current_utc_time(self):
        before = time.time()
        r = cs.camsnap("channel=0")
        after = time.time()
        m = re.fullmatch(r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9]\d?) (Jan|Feb|Mar|Apr|May|Jun|Jul|"
                         r"Aug|Sep|Oct|Nov|Dec) (\d{4}) (\d\d):(\d\d):(\d\d) GMT",
                         r.header("Last-Modified"))
        self.assertIsNotNone(m, r.header("Last-Modified"))
        stamp = time.strptime(r.header("Last-Modified"), "%a, %d %b %Y %H:%M:%S GMT")
        seconds = calendar.timegm(stamp)
        self.assertLessEqual(int(before) - 1, seconds)
        self.assertLessEqual(seconds, after + 1)
        # strptime keeps the weekday it read: take it from the date instead.
        self.assertEqual(m.group(1), time.strftime("%a", time.gmtime(seconds)))

    def test_last_modified_format_on_given_dates(self):
        # libfaketime sets the clock the program sees.
        cases = [("2026-12-07 12:46:16", "Mon, 7 Dec 2026 12:46:16 GMT"),
                 ("2026-01-01 00:00:05", "Thu, 1 Jan 2026 00:00:05 GMT"),
                 ("2030-06-30 23:59:59", "Sun, 30 Jun 2030 23:59:59 GMT")]
        for when, line in cases:
            with self.subTest(when=when):
                r = cs.camsnap("data=2", extra_env={
                    "LD_PRELOAD": FAKETIME, "FAKETIME": when, "TZ": "UTC",
                    "ASAN_OPTIONS": "verify_asan_link_order=0"})
                self.assertEqual(r.header("Last-Modified"), line, r.stderr)

    def test_negative_channel_without_its_semaphore_gets_the_error_page(self):
        r = cs.camsnap("channel=-1")
        self.assertEqual(r.raw, cs.ERROR_PAGE)
        # 12003 exists, 11999 not; nothing is tried after the missing one.
        self.assertEqual(r.stderr, "Unable to obtain semaphore for channel -1.\n"
                                   "Cannot get semaphore id for channel -1.\n")

    def test_channel_whose_key_is_0_creates_no_semaphore_set(self):
        # Key 0 is the private key: asked for, it makes a new set each time.
        before = sysv_semaphores()
        for channel in (-12000, -12004):
            with self.subTest(channel=channel):
                r = cs.camsnap("channel=%d" % channel)
                self.assertEqual(r.raw, cs.ERROR_PAGE)
                self.assertEqual(r.stderr.count("Unable to obtain"), 2, r.stderr)
        self.assertEqual(sysv_semaphores(), before)

    def test_record_follows_the_picture_for_any_data_but_0_and_2(self):
        with kelsys.KeldSim({"sensors": [ROOM]}):
            for data in ("1", "3", "-1", "7"):
                with self.subTest(data=data):
                    r = cs.camsnap("channel=1&mode=2&data=" + data)
                    jpeg = self.check_form(r, record=ROOM_RECORD)
                    self.assertEqual(int(r.header("Content-Length")), len(jpeg) + len(ROOM_RECORD))
                    self.assertEqual(cs.djpeg(jpeg)[:2], (160, 120))
            r = cs.camsnap("metadata=1&channel=4&mode=1")
            self.check_form(r, record=ROOM_RECORD)
            # The daemon is up: no record unless one is asked for.
            for query in ("channel=0&data=0", "channel=0", None):
                with self.subTest(query=query):
                    r = cs.camsnap(query)
                    self.check_form(r)
                    self.assertEqual(r.header("Sensors-Data"), r.header("Content-Length"))

    def test_status_bin_touches_no_semaphore(self):
        with kelsys.KeldSim({"sensors": [ROOM, {"type": 7, "port": 9, "status": 0, "value": 5,
                                                "description": "Door"}]}) as keld:
            before = cs.sem_state()
            time.sleep(1.1)  # any operation now would move the semaphores' clocks
            r = cs.camsnap("data=2&channel=1")
            self.assertEqual(cs.sem_state(), before)
            self.check_form(r, record=r.body, status_bin=True)
            want = bytes([2, 3, 1, 1, 0x01, 0x23, 9, 7, 0, 0, 5, 3, 1]) + b"F" + \
                bytes([9, 1]) + b"%" + bytes([3, 4]) + b"Room" + bytes([9, 4]) + b"Door"
            self.assertEqual(r.body, want)
            self.assertEqual(int(r.header("Content-Length")), len(want))
            names = keld.call_names()
            self.assertEqual(names[0], "kel_connect_unix")
            self.assertEqual(names.count("kel_get_sensor_description"), 2)

    def test_daemon_down_gives_an_empty_record(self):
        r = cs.camsnap("channel=0&data=1")
        jpeg = self.check_form(r, stderr=kelsys.ABSENT)
        self.assertEqual(r.header("Sensors-Data"), r.header("Content-Length"))
        self.assertEqual(len(jpeg), len(r.body))
        r = cs.camsnap("data=2")
        self.check_form(r, status_bin=True, stderr=kelsys.ABSENT)
        self.assertEqual(r.header("Content-Length"), "0")
        self.assertEqual(r.body, b"")

    def test_slow_daemon_is_asked_no_longer_than_the_record_budget(self):
        # Every answer comes 0.4 s late: asking all about 8 sensors would
        # take 34 calls, some 14 s.
        calls = []

        def answer(c, payload):
            call = kelsys.fields(payload)[0]
            calls.append(call)
            time.sleep(0.4)
            if call == b"kel_get_all_sensor_online":
                c.sendall(kelsys.reply(1, 8, *[v for port in range(8) for v in (1, port)]))
            elif call == b"kel_get_sensor_description":
                c.sendall(kelsys.reply(1, b"Probe"))
            elif call in (b"kel_get_sensor_status", b"kel_get_sensor_threshold"):
                c.sendall(kelsys.reply(1, 7))
            else:
                c.sendall(kelsys.reply(1))
        kelsys.scripted_keld(self, answer)
        r = cs.camsnap("data=2")
        self.check_form(r, record=r.body, status_bin=True,
                        stderr="keld is too slow: sensor record cut short after 2000 ms on "
                               "/tmp/.keld-snmp\n")
        self.assertLess(len(calls), 34)
        # Every sensor is listed; those not asked about carry what they carry
        # when keld gives nothing.
        self.assertEqual(r.body[:6], bytes([8, 0, 1, 7, 0, 7]))
        self.assertEqual(r.body[36:41], bytes([7, 1, 255, 0xFF, 0xFF]))
        self.assertTrue(r.body.endswith(bytes([7, 18]) + b"Sensor Description"))

    def test_failed_queries_keep_the_sensor(self):
        state = {"sensors": [dict(ROOM, fail=["kel_get_sensor_status:0",
                                              "kel_get_sensor_description"])]}
        with kelsys.KeldSim(state):
            r = cs.camsnap("data=2")
        want = bytes([1, 3, 1, 1, 0xFF, 0xFF, 3, 1]) + b"F" + bytes([3, 18]) + b"Sensor Description"
        self.assertEqual(r.body, want)


if __name__ == "__main__":
    kelsys.main()
