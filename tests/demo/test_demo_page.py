"""The demo stack seen through a real browser: scripts/demo serving camsnap
through lighttpd, the camera page in headless Chromium.  The steps build on
one another, so they run in order on one stack."""

import json
import os
import signal
import time
import unittest

import kelsys
from demosys import Demo, WebDriver, demo_leftovers, pids_of, port_listening

BUILD = os.path.dirname(kelsys.BIN.rstrip("/"))
SCREENSHOT = os.path.join(BUILD, "tests", "demo", "demo-page.png")
TILES = ("ch0", "ch1", "ch2", "ch3", "quad")
# What the page must show in each size choice; channel 3 delivers 320x240.
SIZES = {
    "0": {"ch0": [640, 480], "ch1": [640, 480], "ch2": [640, 480], "ch3": [320, 240],
          "quad": [640, 480]},
    "1": dict({t: [320, 240] for t in TILES}),
    "3": dict({t: [80, 60] for t in TILES}, quad=[160, 120]),
}
WAIT = 90 if kelsys.SANITIZED else 45

TILE_STATE = """
return ["ch0", "ch1", "ch2", "ch3", "quad"].map(function (id) {
  var img = document.getElementById(id), fig = document.getElementById("tile-" + id);
  return {id: id, state: fig.dataset.state, src: img.src, complete: img.complete,
          size: [img.naturalWidth, img.naturalHeight],
          caption: fig.querySelector("figcaption").textContent,
          banner: getComputedStyle(fig.querySelector(".banner")).display};
});
"""

SENSOR_ROWS = """
return Array.from(document.querySelectorAll("#sensors tbody tr")).map(function (tr) {
  return Array.from(tr.cells).map(function (td) { return td.textContent; });
});
"""


def expected_sensors():
    """The rows keld-sim's example state gives: port, type, status, value,
    unit, description."""
    with open(os.path.join(kelsys.SOURCE, "sim", "keld", "example-state.json")) as f:
        state = json.load(f)
    names = {1: "temperature", 2: "4-20 mA", 5: "analogue"}
    rows = []
    for s in state["sensors"]:
        kind = s.get("type", 0)
        if kind == 1:
            unit = "F" if s.get("fahrenheit") else "C"
        elif kind in (2, 5) and s.get("unit_type", 1) == 0:
            unit = s.get("unit", "")
        else:
            unit = "%"
        rows.append([str(s.get("port", 0)), names.get(kind, "type %d" % kind),
                     str(s.get("status", 0)), str(s.get("value", 0)), unit,
                     s.get("description", "")])
    return rows


class DemoPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.demo = Demo()
        if cls.demo.proc.poll() is not None:
            raise RuntimeError("scripts/demo did not start: %r" % cls.demo.stop()[1])
        cls.browser = WebDriver()
        cls.browser.get(cls.demo.url)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.demo.stop()

    def tiles(self):
        return {t["id"]: t for t in self.browser.run(TILE_STATE)}

    def wait_tiles(self, check):
        """Poll the tiles until check(tiles) is true; return the last tiles."""
        return kelsys.wait_for(lambda: (lambda t: t if check(t) else None)(self.tiles()),
                               timeout=WAIT, step=0.25) or self.tiles()

    def table_reads_between_quad_pictures(self):
        """The sensor records the page fetched, and the distinct sensor-table
        readings it showed, after the quad tile's next picture and before
        the one after it."""
        table = "return document.getElementById('sensor-state').textContent;"
        records = ("return performance.getEntriesByType('resource')"
                   ".filter(e => e.name.includes('data=2')).length;")
        quad = lambda: self.tiles()["quad"]["src"]
        changes, seen, reads = 0, quad(), []
        end = time.monotonic() + WAIT
        while changes < 2 and time.monotonic() < end:
            now = quad()
            if now != seen:
                changes, seen = changes + 1, now
                if changes == 1:
                    self.browser.run("performance.clearResourceTimings();")
                else:
                    fetched = self.browser.run(records)
            text = self.browser.run(table)
            if changes == 1 and text not in reads:
                reads.append(text)
            time.sleep(0.2)
        self.assertEqual(changes, 2, "the quad view stopped")
        return fetched, reads[1:]  # the first was shown before the quad's picture

    def test_1_pictures_decode_at_the_chosen_size(self):
        for mode, sizes in SIZES.items():
            with self.subTest(mode=mode):
                before = {t: v["src"] for t, v in self.tiles().items()}
                self.browser.run("var s = document.getElementById('size'); s.value = arguments[0];"
                                 "s.dispatchEvent(new Event('change'));", mode)
                tiles = self.wait_tiles(lambda ts: all(
                    ts[t]["state"] == "live" and ts[t]["size"] == sizes[t] and
                    ts[t]["src"] != before[t] for t in TILES))
                for t in TILES:
                    self.assertEqual(tiles[t]["state"], "live", tiles[t])
                    self.assertEqual(tiles[t]["size"], sizes[t], tiles[t])
                    self.assertIn("%dx%d" % tuple(sizes[t]), tiles[t]["caption"])
                    self.assertEqual(tiles[t]["banner"], "none")
        # The pictures keep coming: each tile shows a new one within seconds.
        first = {t: v["src"] for t, v in self.tiles().items()}
        tiles = self.wait_tiles(lambda ts: all(ts[t]["src"] != first[t] for t in TILES))
        for t in TILES:
            self.assertNotEqual(tiles[t]["src"], first[t], t)

    def test_2_sensor_table_shows_the_daemons_sensors(self):
        want = expected_sensors()
        rows = kelsys.wait_for(lambda: (lambda r: r if r == want else None)(
            self.browser.run(SENSOR_ROWS)), timeout=WAIT, step=0.25)
        self.assertEqual(rows or self.browser.run(SENSOR_ROWS), want)
        # Units and descriptions came through the record, not a fallback.
        self.assertIn("kPa", [r[4] for r in rows])
        self.assertIn("Chilled water pressure", [r[5] for r in rows])

    def test_2b_silent_daemon_empties_the_table_state_not_the_pictures(self):
        table = "return document.getElementById('sensors').dataset.state + '|' +" \
                " document.getElementById('sensor-state').textContent;"
        daemons = pids_of("keld-sim")
        self.assertEqual(len(daemons), 1)
        os.kill(daemons[0], signal.SIGSTOP)
        try:
            state = kelsys.wait_for(lambda: (lambda v: v if v.startswith("unavailable") else None)(
                self.browser.run(table)), timeout=WAIT, step=0.25)
            self.assertEqual(state, "unavailable|no sensor record: the daemon is not answering")
            self.assertEqual(self.tiles()["quad"]["state"], "live")
        finally:
            os.kill(daemons[0], signal.SIGCONT)
        state = kelsys.wait_for(lambda: (lambda v: v if v.startswith("live") else None)(
            self.browser.run(table)), timeout=WAIT, step=0.25)
        self.assertTrue(state, "the table did not come back")

    def test_3_stopped_camera_is_shown_as_not_delivering(self):
        self.browser.run("var s = document.getElementById('size'); s.value = '1';"
                         "s.dispatchEvent(new Event('change'));")
        self.wait_tiles(lambda ts: all(ts[t]["size"] == SIZES["1"][t] for t in TILES))
        cameras = pids_of("capture-sim")
        self.assertEqual(len(cameras), 1)
        os.kill(cameras[0], signal.SIGUSR1)  # stops channel 3, the last one listed
        try:
            tiles = self.wait_tiles(lambda ts: ts["ch3"]["state"] == "down")
            self.assertEqual(tiles["ch3"]["state"], "down")
            self.assertIn("not delivering", tiles["ch3"]["caption"])
            self.assertEqual(tiles["ch3"]["banner"], "block")
            # The others carry on.
            seen = {t: tiles[t]["src"] for t in ("ch0", "ch1", "ch2")}
            tiles = self.wait_tiles(lambda ts: all(
                ts[t]["src"] != seen[t] and ts[t]["state"] == "live" for t in seen))
            for t in seen:
                self.assertEqual(tiles[t]["state"], "live", tiles[t])
            self.assertEqual(tiles["ch3"]["state"], "down")
            # The quad view now waits its 3 s for channel 3 every time; the
            # sensor table keeps its own pace between two of its pictures:
            # the record comes on requests of its own, and the table changes
            # with it.  (How often it changes depends on how busy the machine
            # is: a record may take over a second to come.)
            fetched, reads = self.table_reads_between_quad_pictures()
            self.assertGreaterEqual(fetched, 1, "no record fetched between two quad pictures")
            self.assertGreaterEqual(len(reads), 1, reads)
            os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
            png = self.browser.screenshot()
            self.assertTrue(png.startswith(b"\x89PNG"))
            with open(SCREENSHOT, "wb") as f:
                f.write(png)
            print("\nscreenshot of the page: %s" % SCREENSHOT)
        finally:
            os.kill(cameras[0], signal.SIGUSR2)
        tiles = self.wait_tiles(lambda ts: ts["ch3"]["state"] == "live")
        self.assertEqual(tiles["ch3"]["state"], "live")

    def test_4_ctrl_c_stops_everything(self):
        self.browser.quit()
        status, err = self.demo.stop()
        self.assertEqual(status, 0, err)
        self.assertEqual(demo_leftovers(), ([], []))
        self.assertFalse(port_listening(8080))
        for name in ("capture-sim", "keld-sim", "lighttpd", "camsnap"):
            self.assertEqual(pids_of(name), [], name)
        # tearDownClass may run these again.
        type(self).browser.quit = lambda: None
        type(self).demo.stop = lambda: None


if __name__ == "__main__":
    kelsys.main()
