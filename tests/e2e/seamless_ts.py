#!/usr/bin/env python3
"""Makes a transport stream loop without a continuity break: each PID's
packets (null packets aside) are followed by as many payload packets of
0xFF stuffing as bring their count to a multiple of 16, so that the
player stand-in, which loops its file, feeds unbroken counters.

  seamless_ts.py IN OUT
"""

import sys

PACKET = 188


def seamless(data: bytes) -> bytes:
    usable = len(data) - len(data) % PACKET
    last, count = {}, {}
    for off in range(0, usable, PACKET):
        p = data[off:off + PACKET]
        pid = (p[1] & 0x1F) << 8 | p[2]
        if p[0] != 0x47 or pid == 0x1FFF or not p[3] & 0x10:
            continue
        last[pid] = p[3] & 0x0F
        count[pid] = count.get(pid, 0) + 1
    extra = bytearray()
    for pid in sorted(count):
        for k in range(-count[pid] % 16):
            cc = (last[pid] + 1 + k) & 0x0F
            extra += bytes([0x47, pid >> 8, pid & 0xFF, 0x10 | cc]) + b"\xff" * 184
    return data[:usable] + bytes(extra)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip())
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    with open(sys.argv[2], "wb") as f:
        f.write(seamless(raw))
