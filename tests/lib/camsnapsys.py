"""Helpers for camsnap's system tests and benchmarks: raw frames, the
steerable producer (frametool), running the CGI and taking its answer apart."""

import hashlib
import math
import os
import random
import re
import subprocess

import kelsys
from framefile import RAW, SIZES

FRAMETOOL = os.path.join(kelsys.BIN, "frametool")

# camsnap's whole answer when a camera gives no frame in time.
ERROR_PAGE = (b"Status: 503 Service Unavailable\r\nRetry-After: 1\r\n"
              b"Content-Type: text/html\r\n\r\nsemaphore error!\r\n")


def planes(w, h, y, u, v):
    """Planar 4:2:0 bytes from three functions of (column, row)."""
    out = bytearray()
    out += bytes(y(c, r) for r in range(h) for c in range(w))
    out += bytes(u(c, r) for r in range(h // 2) for c in range(w // 2))
    out += bytes(v(c, r) for r in range(h // 2) for c in range(w // 2))
    return bytes(out)


def uniform(flag, channel, y, u=128, v=128):
    """A raw frame file's bytes: one flat colour."""
    w, h = SIZES[flag]
    return bytes([flag, channel]) + bytes([y]) * (w * h) + bytes([u]) * (w * h // 4) + \
        bytes([v]) * (w * h // 4)


def halves(flag, channel, left=60, right=190):
    """A raw frame whose luma is dark on the left half and light on the right."""
    w, h = SIZES[flag]
    row = bytes([left]) * (w // 2) + bytes([right]) * (w // 2)
    return bytes([flag, channel]) + row * h + bytes([128]) * (w * h // 2)


def detailed(flag, channel, seed=1):
    """A raw frame of fine texture and grain: its JPEG at quality 64 is far
    larger than camsnap's output area."""
    w, h = SIZES[flag]
    rnd = random.Random(seed)
    wave = [[int(128 + 50 * math.sin(c * 0.3) * math.cos(r * 0.17) + 30 * math.sin((c + r) * 0.05))
             for c in range(w)] for r in range(h)]
    grain = rnd.randbytes(w * h * 3 // 2)
    out = bytearray(w * h * 3 // 2)
    for r in range(h):
        base = r * w
        row = wave[r]
        for c in range(w):
            out[base + c] = min(255, max(0, row[c] + grain[base + c] % 81 - 40))
    for i in range(w * h, len(out)):
        out[i] = 88 + grain[i] % 81
    return bytes([flag, channel]) + bytes(out)


def write_raw(data, path=RAW):
    with open(path, "wb") as f:
        f.write(data)


def digest(path=RAW):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def frametool(*args):
    return subprocess.run([FRAMETOOL] + [str(a) for a in args], capture_output=True, text=True,
                          check=True, timeout=30).stdout


def sem_state():
    """Per key: (value, last operation time, last change time), or None."""
    state = {}
    for line in frametool("stat").splitlines():
        parts = line.split()
        state[int(parts[0])] = None if parts[1] == "-" else tuple(int(p) for p in parts[1:])
    return state


class Producer:
    """frametool serve: raises a channel's write semaphore as soon as a reader
    asks for a frame, putting that channel's frame into the raw file first.
    frames maps channel -> frame file path, or None to raise only."""

    def __init__(self, frames, seconds=120, spin=False):
        specs = ["%d:%s" % (ch, path or "-") for ch, path in sorted(frames.items())]
        self.proc = subprocess.Popen([FRAMETOOL, "spin" if spin else "serve", str(seconds)] +
                                     specs)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def frame_file(name, data):
    """Keep a frame in its own file for a Producer."""
    path = "/tmp/frame-%s" % name
    with open(path, "wb") as f:
        f.write(data)
    return path


class Response:
    def __init__(self, proc):
        self.proc = proc
        self.raw = proc.stdout
        self.stderr = proc.stderr.decode(errors="replace")
        head, sep, self.body = self.raw.partition(b"\r\n\r\n")
        self.complete = bool(sep)
        self.header_text = head + sep
        self.headers = []
        for line in head.split(b"\r\n"):
            name, _, value = line.decode().partition(": ")
            self.headers.append((name, value))

    def header(self, name):
        for n, v in self.headers:
            if n == name:
                return v
        return None

    def names(self):
        return [n for n, _ in self.headers]


def camsnap(query=None, timeout=60, extra_env=None):
    """Run camsnap as a web server would; query None leaves QUERY_STRING unset."""
    env = dict(os.environ)
    env.pop("QUERY_STRING", None)
    env.update(extra_env or {})
    if query is not None:
        env["QUERY_STRING"] = query
    proc = subprocess.run([kelsys.binary("camsnap")], env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=timeout)
    return Response(proc)


def segments(jpeg):
    """The marker segments of a JPEG's header, up to the start of scan."""
    if jpeg[:2] != b"\xff\xd8":
        raise ValueError("no SOI")
    at, out = 2, []
    while at + 4 <= len(jpeg):
        if jpeg[at] != 0xFF:
            raise ValueError("no marker at %d" % at)
        marker = jpeg[at + 1]
        length = int.from_bytes(jpeg[at + 2:at + 4], "big")
        out.append((marker, jpeg[at + 4:at + 2 + length]))
        if marker == 0xDA:
            break
        at += 2 + length
    return out


def sof_size(jpeg):
    for marker, data in segments(jpeg):
        if marker == 0xC0:
            return int.from_bytes(data[3:5], "big"), int.from_bytes(data[1:3], "big")
    raise ValueError("no baseline SOF")


STD_LUMA = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
            14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
            18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
            49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]


def luma_table(quality):
    """The luminance table libjpeg makes for a quality, sorted."""
    q = min(100, max(1, quality))
    scale = 5000 // q if q < 50 else 200 - 2 * q
    return sorted(min(255, max(1, (v * scale + 50) // 100)) for v in STD_LUMA)


def quality_table(jpeg):
    """The first quantisation table of a JPEG, sorted."""
    for marker, data in segments(jpeg):
        if marker == 0xDB:
            return sorted(data[1:65])
    raise ValueError("no DQT")


def djpeg(jpeg, gray=True):
    """Decode with libjpeg-turbo's djpeg: (width, height, samples, stderr)."""
    args = ["djpeg", "-pnm"] + (["-grayscale"] if gray else [])
    proc = subprocess.run(args, input=jpeg, capture_output=True, timeout=30)
    if proc.returncode != 0:
        raise AssertionError("djpeg failed: %s" % proc.stderr.decode(errors="replace"))
    m = re.match(rb"P[56]\s+(\d+)\s+(\d+)\s+255\s", proc.stdout)
    w, h = int(m.group(1)), int(m.group(2))
    return w, h, proc.stdout[m.end():], proc.stderr.decode(errors="replace")


def mean_luma(gray, width, x0, y0, x1, y1):
    total = n = 0
    for r in range(y0, y1):
        row = gray[r * width + x0:r * width + x1]
        total += sum(row)
        n += len(row)
    return total / n
