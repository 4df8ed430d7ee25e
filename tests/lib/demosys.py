"""Helpers for the camera stand-in and demo tests: a reader that takes frames
the way camsnap does, capture-sim runs, the demo stack.

Only for use inside the test sandbox (kelsys refuses to load elsewhere).
"""

import os
import signal
import subprocess
import time

import kelsys
from framefile import (CHANNEL_BYTE, FLAG_BYTE, HEADER, KEYS, LARGEST, RAW, READ_BASE,
                       WRITE_BASE, size_of)
from semsys import sem_op, sem_set, sysv_semaphores

LOCK = "/tmp/.capture-sim.lock"


def take_frame(channel, timeout=3.0):
    """Wait for a fresh frame of channel as camsnap does (reset the write
    semaphore, wait for its raise, take a read unit; when the camera has
    moved on to another channel meanwhile, give the read unit back and wait
    for the next raise), copy the file, give both back.  Return the file's
    bytes, or None when no frame of the channel came in time."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        left = lambda: max(end - time.monotonic(), 0.001)
        if sem_set(WRITE_BASE + channel, 0) != 0 or \
                not sem_op(WRITE_BASE + channel, -1, left()) or \
                not sem_op(READ_BASE + channel, -1, left()):
            return None
        try:
            with open(RAW, "rb") as f:
                data = f.read()
        finally:
            sem_op(READ_BASE + channel, 1)
        if data[CHANNEL_BYTE] == channel:
            sem_op(WRITE_BASE + channel, 1)
            return data
    return None


def frame_size(data):
    """(width, height) that a frame's resolution flag announces."""
    return size_of(data[FLAG_BYTE])


def planes(data):
    w, h = frame_size(data)
    y = data[HEADER:HEADER + w * h]
    u = data[HEADER + w * h:HEADER + w * h * 5 // 4]
    v = data[HEADER + w * h * 5 // 4:HEADER + w * h * 3 // 2]
    return w, h, y, u, v


def to_ppm(data):
    """The frame as a binary PPM, for a real JPEG encoder."""
    w, h, y, u, v = planes(data)
    rgb = bytearray(w * h * 3)
    half = w // 2
    i = 0
    for row in range(h):
        crow = (row // 2) * half
        for col in range(w):
            luma = y[row * w + col]
            cb = u[crow + col // 2] - 128
            cr = v[crow + col // 2] - 128
            r = luma + 1.402 * cr
            g = luma - 0.344 * cb - 0.714 * cr
            b = luma + 1.772 * cb
            rgb[i] = 0 if r < 0 else 255 if r > 255 else int(r)
            rgb[i + 1] = 0 if g < 0 else 255 if g > 255 else int(g)
            rgb[i + 2] = 0 if b < 0 else 255 if b > 255 else int(b)
            i += 3
    return b"P6 %d %d 255\n" % (w, h) + bytes(rgb)


def end_process(proc, sig=signal.SIGTERM, timeout=15):
    """Send sig unless proc has ended; kill it if it outlives timeout."""
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    return proc.returncode


class CaptureSim:
    """A running capture-sim; stops it (SIGTERM) on exit."""

    def __init__(self, *args, expect_ready=True):
        self.proc = subprocess.Popen([kelsys.binary("capture-sim")] + [str(a) for a in args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if expect_ready:
            line = self.proc.stdout.readline()
            if line != b"ready\n":
                err = self.proc.stderr.read()
                self.proc.kill()
                self.proc.wait()
                raise RuntimeError("capture-sim did not start: %r %r" % (line, err))

    def send(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=signal.SIGTERM):
        """End it; return (exit status, standard error)."""
        end_process(self.proc, sig)
        err = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode, err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def run_capture(*args, timeout=15):
    """Run capture-sim expecting it to end by itself (a refusal)."""
    return kelsys.run("capture-sim", *args, timeout=timeout)


def leftovers():
    """What a producer may have left: semaphore keys, files."""
    keys = sorted(k for k in sysv_semaphores() if k in KEYS)
    files = [p for p in (RAW, LOCK) if os.path.exists(p)]
    return keys, files


def wait_gone(proc, timeout=10):
    end = time.monotonic() + timeout
    while proc.poll() is None and time.monotonic() < end:
        time.sleep(0.02)
    return proc.poll()


def port_listening(port, host="127.0.0.1"):
    """True when something accepts connections on host:port."""
    import socket
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex((host, port)) == 0


def pids_of(name):
    """Pids of the processes in this PID namespace whose name is name."""
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as f:
                    if f.read().strip() == name:
                        out.append(int(entry))
            except OSError:
                pass
    return out


class Demo:
    """scripts/demo running on the build under test, until stop()."""

    def __init__(self, port=8080, rate=None, timeout=60):
        build = os.path.dirname(kelsys.BIN.rstrip("/"))
        self.url = "http://127.0.0.1:%d/" % port
        self.out = open("/tmp/demo-stdout.txt", "w+b")
        self.proc = subprocess.Popen(
            [os.path.join(kelsys.SOURCE, "scripts", "demo"), "--port", str(port),
             "--build", build, "--no-build"] + (["--rate", str(rate)] if rate is not None else []),
            stdout=self.out, stderr=subprocess.PIPE)
        self.ready = kelsys.wait_for(lambda: b"Ctrl-C" in self.output() or
                                     self.proc.poll() is not None, timeout=timeout)

    def output(self):
        """What it printed on standard output so far."""
        if self.out.closed:
            return self.printed
        self.out.seek(0)
        return self.out.read()

    def stop(self, sig=signal.SIGINT, timeout=30):
        """End it as Ctrl-C would; return (status, standard error)."""
        end_process(self.proc, sig, timeout)
        err = self.proc.stderr.read()
        self.proc.stderr.close()
        self.printed = self.output()
        self.out.close()
        return self.proc.returncode, err


def demo_leftovers():
    """Everything the demo stack makes, where it is still there."""
    keys, files = leftovers()
    files += [p for p in ("/tmp/.keld-snmp", "/tmp/.keld") if os.path.exists(p)]
    files += [os.path.join("/tmp", n) for n in os.listdir("/tmp") if n.startswith("kel-demo.")]
    return keys, files


class WebDriver:
    """Headless Chromium through chromedriver's W3C WebDriver protocol."""

    def __init__(self, port=9515):
        import json
        import urllib.request
        self._json, self._request = json, urllib.request
        home = "/tmp/chromium-home"
        os.makedirs(home, exist_ok=True)
        env = dict(os.environ, HOME=home)
        self.log = open("/tmp/chromedriver.log", "wb")
        self.proc = subprocess.Popen(["chromedriver", "--port=%d" % port], env=env,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.base = "http://127.0.0.1:%d" % port
        if not kelsys.wait_for(lambda: self._status_ready(), timeout=30):
            self.proc.kill()
            raise RuntimeError("chromedriver did not start")
        options = {"binary": "/usr/bin/chromium", "args": [
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--window-size=1400,1100",
            "--user-data-dir=/tmp/chromium-profile"]}
        caps = {"capabilities": {"alwaysMatch": {"browserName": "chrome",
                                                 "goog:chromeOptions": options}}}
        self.session = self._call("POST", "/session", caps, timeout=90)["sessionId"]

    def _status_ready(self):
        try:
            return self._call("GET", "/status", timeout=2).get("ready")
        except OSError:
            return False

    def _call(self, method, path, body=None, timeout=60):
        data = self._json.dumps(body).encode() if body is not None else None
        req = self._request.Request(self.base + path, data=data, method=method,
                                    headers={"Content-Type": "application/json"})
        with self._request.urlopen(req, timeout=timeout) as resp:
            return self._json.loads(resp.read())["value"]

    def get(self, url):
        self._call("POST", "/session/%s/url" % self.session, {"url": url})

    def run(self, script, *args):
        """Run script (a function body) in the page; return its result."""
        return self._call("POST", "/session/%s/execute/sync" % self.session,
                          {"script": script, "args": list(args)})

    def screenshot(self):
        import base64
        return base64.b64decode(self._call("GET", "/session/%s/screenshot" % self.session))

    def quit(self):
        try:
            self._call("DELETE", "/session/%s" % self.session, timeout=20)
        except OSError:
            pass
        end_process(self.proc)
        self.log.close()
