#!/usr/bin/env python3
"""Feeds a capture to a peer program at a fixed bit rate, looping, for BYTES bytes.

    side_by_side_feed.py DEST FILE BITS_PER_S BYTES

DEST is a FIFO, or udp://HOST:PORT for a program that takes its input from
the network (datagrams of seven packets).  BITS_PER_S 0 feeds flat out (as
fast as the reader takes it).

Runs as its own process so that pacing the input costs the measured program
nothing.  The FIFO is opened read-write so that it always has a writer (the
reader never sees an end of file while this runs).  Pacing sleeps only when
20 ms ahead, in pieces of 348 packets, like the player stand-in's feed.
"""

import os
import socket
import sys
import time


def main() -> int:
    dest, path, rate, total = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
    with open(path, "rb") as f:
        data = f.read()
    data = data[: len(data) - len(data) % 188]
    if dest.startswith("udp://"):
        host, port = dest[6:].rsplit(":", 1)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.connect((host, int(port)))
        chunk = 188 * 7

        def put(view):
            try:
                sock.send(view)
            except ConnectionRefusedError:
                pass  # an earlier datagram found no reader (the peer ending)
    else:
        fd = os.open(dest, os.O_RDWR)
        chunk = 188 * 348

        def put(view):
            while view:
                view = view[os.write(fd, view) :]

    # The chunk that reaches the capture's end is cut there: the next one
    # starts the loop again at its first packet.
    sent = pos = 0
    start = time.monotonic()
    while sent < total:
        n = min(chunk, len(data) - pos)
        put(memoryview(data)[pos : pos + n])
        pos = (pos + n) % len(data)
        sent += n
        if rate <= 0:
            continue
        ahead = start + sent * 8 / rate - time.monotonic()
        if ahead > 0.02:
            time.sleep(ahead)
    print("fed %d bytes in %.2f s" % (sent, time.monotonic() - start), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
