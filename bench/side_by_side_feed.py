#!/usr/bin/env python3
"""Feeds a capture into a FIFO at a fixed bit rate, looping, for BYTES bytes.

    side_by_side_feed.py FIFO FILE BITS_PER_S BYTES

Runs as its own process so that pacing the input costs the measured program
nothing.  The FIFO is opened read-write so that it always has a writer (the
reader never sees an end of file while this runs).  Pacing sleeps only when
20 ms ahead, in pieces of 348 packets, like the player stand-in's feed.
"""

import os
import sys
import time


def main() -> int:
    fifo, path, rate, total = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
    fd = os.open(fifo, os.O_RDWR)
    with open(path, "rb") as f:
        data = f.read()
    data = data[: len(data) - len(data) % 188]
    chunk = 188 * 348
    sent = pos = 0
    start = time.monotonic()
    while sent < total:
        n = min(chunk, len(data) - pos)
        view = memoryview(data)[pos : pos + n]
        while view:
            view = view[os.write(fd, view) :]
        pos = (pos + n) % len(data)
        sent += n
        ahead = start + sent * 8 / rate - time.monotonic()
        if ahead > 0.02:
            time.sleep(ahead)
    print("fed %d bytes in %.2f s" % (sent, time.monotonic() - start), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
