#!/usr/bin/env python3
"""The soak, seen from the controller host of a simulated world (scripts/soak.sh).

  soak_control.py MINUTES INPUT_TS

Starts two streams on the transmitter (slots 1 and 2: program 1 to
239.1.1.1:1234, program 2 to 239.1.1.2:1236), has the receiver play the
first, then for MINUTES receives both groups on the controller while commands
arrive every 3 s on both devices.  Then it stops the streams, takes what is
still in flight, and prints a JSON report: datagrams the transmitter sent (its
own byte counter, from DUMPSTATS, over 1316-byte datagrams; the count starts a
moment after the receiving one, so a few more may be received than sent) and
datagrams received, continuity errors per group at the receiving end, the player process's RSS at the start and the end and its CPU
share, command replies missing.  Continuity errors and short datagrams
after the streams are stopped are counted apart (stopping a stream flushes
a last short datagram).  Exit 0 when nothing was lost, no continuity
error was seen and every command was answered; 1 otherwise.
"""

import json
import os
import re
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import vyxe2e  # noqa: E402
from vyxe2e import Controller, device, read_text  # noqa: E402

GROUPS = [("239.1.1.1", 1234), ("239.1.1.2", 1236)]
DATAGRAM = 1316
COMMANDS_T = ["VERS", "STATUS", "SCA?", "TIME", "IP?", "VYX"]
COMMANDS_R = ["VERS", "STATUS", "IP?"]


def join(group, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.bind(("0.0.0.0", port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton("0.0.0.0")))
    s.setblocking(False)
    return s


class Group:
    def __init__(self, group, port):
        self.sock = join(group, port)
        self.name = "%s:%d" % (group, port)
        self.datagrams = 0
        self.bytes = 0
        self.odd_sizes = 0
        self.cc_errors = 0
        self.last_cc = {}
        self.counting = False
        self.stopped = False
        self.cc_errors_at_stop = 0
        self.first_errors = []

    def read(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except BlockingIOError:
                return
            if not self.counting:
                continue
            self.datagrams += 1
            self.bytes += len(data)
            if len(data) != DATAGRAM and not self.stopped:
                self.odd_sizes += 1
            for off in range(0, len(data) - 187, 188):
                b1, b2, b3 = data[off + 1], data[off + 2], data[off + 3]
                pid = ((b1 & 0x1F) << 8) | b2
                if pid == 0x1FFF or not (b3 & 0x10):
                    continue
                cc = b3 & 0x0F
                last = self.last_cc.get(pid)
                if last is not None and cc != (last + 1) & 0x0F and cc != last:
                    # Stopping one stream pauses the filter for 100 ms, which
                    # the other stream's packets miss: counted apart.
                    if self.stopped:
                        self.cc_errors_at_stop += 1
                    else:
                        self.cc_errors += 1
                    if len(self.first_errors) < 5:
                        self.first_errors.append("pid 0x%x: %d after %d, datagram %d%s"
                                                 % (pid, cc, last, self.datagrams,
                                                    " (after the stop)" if self.stopped else ""))
                self.last_cc[pid] = cc


def proc_stats(pid):
    """(RSS in kB, CPU seconds) of a process."""
    with open("/proc/%d/status" % pid) as f:
        rss = int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return rss, (int(fields[11]) + int(fields[12])) / ticks


def tx_bytes_out(ctl, host):
    """The transmitter's count of bytes sent (32-bit), from its DUMPSTATS."""
    log = "stdout.log"
    start = len(read_text(host, log))
    ctl.command(device(host), "DUMPSTATS", timeout=10)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        m = re.findall(r"Total Tx-ed (\d+)", read_text(host, log)[start:])
        if m:
            return int(m[-1])
        time.sleep(0.05)
    raise RuntimeError("no DUMPSTATS output in %s/%s" % (host, log))


def main():
    minutes = float(sys.argv[1])
    ctl = Controller()
    tx = device("tx")
    groups = [Group(g, p) for g, p in GROUPS]
    replies = {"sent": 0, "missing": 0}

    def command(host, text, timeout=30):
        replies["sent"] += 1
        r = ctl.command(device(host), text, timeout=timeout)
        if r is None:
            replies["missing"] += 1
            print("soak: no reply to %s from %s" % (text, host), file=sys.stderr)
        return r

    # UNIT4 stops stream 0 and its own slot, so both streams use UNIT4.
    for text in ("UNIT4,1,239.1.1.1,1234,5,1,1", "UNIT4,2,239.1.1.2,1236,5,1,2"):
        r = command("tx", text, timeout=60)
        if r != b"OK\r\n":
            print("soak: %s answered %r" % (text, r), file=sys.stderr)
            return 1
    if vyxe2e.has_device("rx"):
        command("rx", "UNIT1,239.1.1.1,1234,0,1", timeout=60)
    # Let the streams settle, then count from a clean start.
    settle = time.monotonic() + 5
    while time.monotonic() < settle:
        select.select([g.sock for g in groups], [], [], 0.1)
        for g in groups:
            g.read()
    player = int(read_text("tx", "player.pid").strip())
    for g in groups:
        g.read()
        g.counting = True
    out0 = tx_bytes_out(ctl, "tx")
    rss0, cpu0 = proc_stats(player)
    t0 = time.monotonic()
    end = t0 + minutes * 60
    out_total = 0
    out_last = out0
    next_command = t0 + 2
    next_stats = t0 + 30
    k = 0
    while True:
        now = time.monotonic()
        if now >= end:
            break
        ready, _, _ = select.select([g.sock for g in groups], [], [], 0.05)
        for g in groups:
            g.read()
        if now >= next_command:
            host = "rx" if (k % 4 == 3 and vyxe2e.has_device("rx")) else "tx"
            texts = COMMANDS_R if host == "rx" else COMMANDS_T
            command(host, texts[k % len(texts)])
            k += 1
            next_command = now + 3
        if now >= next_stats:
            cur = tx_bytes_out(ctl, "tx")
            out_total += (cur - out_last) & 0xFFFFFFFF
            out_last = cur
            next_stats = now + 30
    elapsed = time.monotonic() - t0
    rss1, cpu1 = proc_stats(player)
    # Stop the streams, take what is still in flight, then the last count.
    for g in groups:
        g.read()
        g.stopped = True
    for text in ("UNIT5,1", "UNIT5,2"):
        command("tx", text)
    drain = time.monotonic() + 2
    while time.monotonic() < drain:
        select.select([g.sock for g in groups], [], [], 0.05)
        for g in groups:
            g.read()
    cur = tx_bytes_out(ctl, "tx")
    out_total += (cur - out_last) & 0xFFFFFFFF
    received = sum(g.datagrams for g in groups)
    sent = out_total // DATAGRAM
    report = {
        "minutes": round(elapsed / 60, 2),
        "datagrams_sent": sent,
        "datagrams_received": received,
        "lost": sent - received,
        "bytes_sent": out_total,
        "groups": {g.name: {"datagrams": g.datagrams, "continuity_errors": g.cc_errors,
                            "continuity_errors_at_stop": g.cc_errors_at_stop,
                            "first_errors": g.first_errors,
                            "odd_sizes": g.odd_sizes,
                            "mbit_s": round(g.bytes * 8 / elapsed / 1e6, 2)} for g in groups},
        "player_rss_kb": {"start": rss0, "end": rss1},
        "player_cpu_share": round((cpu1 - cpu0) / elapsed, 3),
        "commands": replies,
    }
    print(json.dumps(report, indent=1), flush=True)
    ok = (sent - received <= 0 and all(g.cc_errors == 0 and g.odd_sizes == 0 for g in groups)
          and replies["missing"] == 0 and received > 0)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
