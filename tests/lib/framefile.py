"""The raw frame file's numbers, read from camsnap/rawframe_format.h, where the
programs take them from: path, semaphore keys, header and frame sizes."""

import os
import re

with open(os.path.join(os.path.dirname(__file__), "..", "..", "camsnap",
                       "rawframe_format.h")) as _f:
    _TEXT = _f.read()
_DEFINE = dict(re.findall(r"^#define RAW_(\w+) (\S+)", _TEXT, re.M))

RAW = _DEFINE["FRAME_PATH"].strip('"')
WRITE_BASE, READ_BASE = int(_DEFINE["WRITE_KEY_BASE"]), int(_DEFINE["READ_KEY_BASE"])
FLAG_BYTE, CHANNEL_BYTE = int(_DEFINE["FLAG_BYTE"]), int(_DEFINE["CHANNEL_BYTE"])
HEADER = int(_DEFINE["HEADER_BYTES"])
KEYS = [base + ch for base in (WRITE_BASE, READ_BASE) for ch in range(int(_DEFINE["CHANNELS"]))]
# (width, height) by resolution flag.
SIZES = dict(enumerate((int(w), int(h)) for w, h in re.findall(
    r"\{(\d+), (\d+)\}", re.search(r"raw_frame_sizes\[\] = \{(.*?)\};", _TEXT, re.S).group(1))))


def size_of(flag):
    """(width, height) that a frame's flag announces; one past the table is flag 1's."""
    return SIZES.get(flag, SIZES[1])


LARGEST = max(HEADER + w * h * 3 // 2 for w, h in SIZES.values())
