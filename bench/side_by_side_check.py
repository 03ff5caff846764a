#!/usr/bin/env python3
"""The side-by-side bench's helpers: recorder, peer check, figures, table.

    side_by_side_check.py record GROUP:PORT SECONDS FILE   (FILE - : count only)
    side_by_side_check.py peer INPUT RECORDED --pids PID[,PID...]
    side_by_side_check.py figures OUT P0 P1 Q0 Q1 --hz HZ --peer NAME,T0,T1[,BYTES] ...
                          [--rate R --window T0,T1] [--clean N] [--datagrams J,J,J]
    side_by_side_check.py table WORK

figures: P0/P1 are the player's progress ("bytes,cpu,feed,vyx", CPU in us)
at the ends of the streaming window, Q0/Q1 at those of the window with no
stream; a peer's CPU is in ticks over the same window as ours and its input
BYTES (or the rate times the window).  Writes OUT (JSON).  table: the figures
of WORK/paced.json and WORK/flat.json side by side, then as one JSON line.

record: joins the group and keeps every datagram for SECONDS (from the first
one, or until SIGTERM), then prints a JSON summary (datagrams, bytes, sizes).
Its receive buffer holds seconds of a stream, so that a busy machine does
not drop what the senders sent.

peer:
The peers build their own PAT and PMT (and may add PIDs of their own), so
the recording is held to what any clean output of the program must be:
  - the packets of each listed elementary PID are an unbroken run of the
    input's packets of that PID (nothing lost, reordered or altered);
  - every PID's continuity counters follow on (the input's own loop aside);
  - every PAT and PMT section it carries has a valid CRC.
Exit status 0 when the recording is clean, 1 with the reasons on stderr.
"""

import argparse
import json
import os
import signal
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import txflow_check as tx  # noqa: E402


def record(addr: str, seconds: float, path: str) -> int:
    group, port = addr.rsplit(":", 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    size = 32 << 20
    try:
        s.setsockopt(socket.SOL_SOCKET, 33, size)  # SO_RCVBUFFORCE
    except OSError:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, size)
    s.bind(("0.0.0.0", int(port)))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton("0.0.0.0")))
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    out = open(path, "wb") if path != "-" else None
    count = total = 0
    sizes = {}
    deadline = None
    buf = bytearray(65536)
    while not stop:
        timeout = 1.0 if deadline is None else deadline - time.monotonic()
        if timeout <= 0:
            break
        s.settimeout(min(timeout, 1.0))
        try:
            n = s.recv_into(buf)
        except socket.timeout:
            continue
        except InterruptedError:
            continue
        if deadline is None:
            deadline = time.monotonic() + seconds
        count += 1
        total += n
        sizes[n] = sizes.get(n, 0) + 1
        if out is not None:
            out.write(buf[:n])
    if out is not None:
        out.close()
    print(json.dumps({"group": group, "port": int(port), "datagrams": count, "bytes": total,
                      "sizes": {str(k): v for k, v in sorted(sizes.items())}}), flush=True)
    return 0


def figures(argv) -> int:
    ap = argparse.ArgumentParser(prog="figures")
    ap.add_argument("out")
    ap.add_argument("p0")
    ap.add_argument("p1")
    ap.add_argument("q0")
    ap.add_argument("q1")
    ap.add_argument("--hz", type=int, required=True)
    ap.add_argument("--peer", action="append", default=[])
    ap.add_argument("--rate", type=float)
    ap.add_argument("--window")
    ap.add_argument("--clean", type=int)
    ap.add_argument("--datagrams")
    a = ap.parse_args(argv)
    delta = lambda x, y: [b - a for a, b in zip(map(int, x.split(",")), map(int, y.split(",")))]
    nbytes, cpu, feed, vyx = delta(a.p0, a.p1)
    qbytes, qcpu, qfeed, _ = delta(a.q0, a.q1)
    per = lambda us, n: us / 1e6 * 100e6 / n
    f = {"ours_bytes": nbytes, "raw": per(cpu, nbytes), "plugin_threads": per(vyx, nbytes),
         "feed_thread": per(feed, nbytes), "others": per(cpu - feed - vyx, nbytes),
         "feed_own": per(qfeed, qbytes), "idle_process": per(qcpu, qbytes), "idle_bytes": qbytes}
    # Ours, net: what the plug-in's threads and its share of the feed thread cost.
    f["net"] = f["plugin_threads"] + f["feed_thread"] - f["feed_own"]
    if a.rate:
        t0, t1 = (float(x) for x in a.window.split(","))
        f["rate"] = a.rate
        f["window_s"] = t1 - t0
    for peer in a.peer:
        parts = peer.split(",")
        got = int(parts[2]) - int(parts[1])
        n = int(parts[3]) if len(parts) > 3 else a.rate / 8 * f["window_s"]
        f[parts[0]] = got / a.hz * 100e6 / n
        f[parts[0] + "_bytes"] = n
    if a.clean is not None:
        f["clean"] = a.clean == 0
    if a.datagrams:
        f["datagrams"] = {os.path.basename(p)[:-5]: json.load(open(p))["datagrams"]
                          for p in a.datagrams.split(",")}
    json.dump(f, open(a.out, "w"))
    return 0


def table(work: str) -> int:
    runs = []
    for name in ("paced", "flat"):
        path = "%s/%s.json" % (work, name)
        if os.path.exists(path):
            j = json.load(open(path))
            label = "%.0f Mbit/s" % (j["rate"] / 1e6) if "rate" in j else "flat out"
            best = min(j["mumudvb"], j["dvblast"])
            j.update(best=best, ratio=j["net"] / best, raw_ratio=j["raw"] / best)
            runs.append((label, j))
    fmt = lambda v: "%.3f" % v if isinstance(v, float) else "-"
    print("CPU seconds per 100 MB of input, one run")
    print("%-44s" % "" + "".join("%13s" % label for label, _ in runs))
    for key, title in (("raw", "player stand-in + plug-in, whole process"),
                       ("plugin_threads", "  the plug-in's threads"),
                       ("feed_thread", "  the feed thread (feed + packet path)"),
                       ("others", "  the stand-in's other threads"),
                       ("feed_own", "feed thread with no stream (its own)"),
                       ("idle_process", "whole process with no stream"),
                       ("net", "ours, net (plug-in + feed thread - own)"),
                       ("mumudvb", "MuMuDVB 1.7.1"), ("dvblast", "DVBlast 3.4"),
                       ("ratio", "ours net / best peer"), ("raw_ratio", "ours whole process / best peer")):
        print("%-44s" % title + "".join("%13s" % fmt(j.get(key)) for _, j in runs))
    for label, j in runs:
        extra = "outputs clean" if j.get("clean") else ("outputs NOT clean" if "clean" in j else "")
        print("%s: ours on %.0f MB, peers on %.0f MB each; %s %s" % (
            label, j["ours_bytes"] / 1e6, j["mumudvb_bytes"] / 1e6, extra,
            json.dumps(j["datagrams"]) if "datagrams" in j else ""))
    print(json.dumps({label: {k: round(v, 4) if isinstance(v, float) else v for k, v in j.items()}
                      for label, j in runs}))
    return 0


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "record":
        return record(sys.argv[2], float(sys.argv[3]), sys.argv[4])
    if len(sys.argv) > 1 and sys.argv[1] == "figures":
        return figures(sys.argv[2:])
    if len(sys.argv) == 3 and sys.argv[1] == "table":
        return table(sys.argv[2])
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["peer"])
    ap.add_argument("input")
    ap.add_argument("recorded")
    ap.add_argument("--pids", required=True)
    args = ap.parse_args()
    problems = []
    with open(args.input, "rb") as f:
        src = tx.packets(f.read(), "input", problems)
    with open(args.recorded, "rb") as f:
        rec = tx.packets(f.read(), "recording", problems)
    if not rec:
        problems.append("recording: no packets")
    by_src, by_rec = {}, {}
    for p in src:
        by_src.setdefault(tx.pid_of(p), []).append(p)
    for p in rec:
        by_rec.setdefault(tx.pid_of(p), []).append(p)
    for pid in (int(x, 0) for x in args.pids.split(",")):
        got = by_rec.get(pid, [])
        if not got:
            problems.append("PID 0x%x: missing" % pid)
        elif not tx.unbroken_run(got, by_src.get(pid, [])):
            problems.append("PID 0x%x: %d packets are not an unbroken run of the input's" % (pid, len(got)))
    for pid, got in sorted(by_rec.items()):
        if pid == tx.NULL_PID:
            continue
        breaks = tx.continuity_breaks(got, by_src.get(pid, []))
        if breaks:
            problems.append("PID 0x%x: %d continuity breaks" % (pid, breaks))
    pmt_pids = set()
    for sec in tx.sections(by_rec.get(0, []), problems, "PAT"):
        if not tx.crc_ok(sec):
            problems.append("PAT: bad CRC")
        elif sec[0] == 0x00:
            pmt_pids |= {pid for num, pid in tx.parse_pat(sec)[1] if num != 0}
    # A peer may pass the input's PAT on whole: only the PMTs it carries count.
    carried = [pid for pid in sorted(pmt_pids) if pid in by_rec]
    if not carried:
        problems.append("no PMT named by a valid PAT")
    for pid in carried:
        secs = tx.sections(by_rec[pid], problems, "PMT 0x%x" % pid)
        if not secs:
            problems.append("PMT 0x%x: no whole section" % pid)
        problems += ["PMT 0x%x: bad CRC" % pid for s in secs if not tx.crc_ok(s)]
    for p in problems:
        print(p, file=sys.stderr)
    print("%s: %d packets, %s" % (args.recorded, len(rec), "clean" if not problems else "NOT clean"),
          file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
