#!/usr/bin/env python3
"""The measuring half of scripts/hotel_figures.sh, on the controller host
of its world: start time, memory per device host, round trips while every
device beacons, a 24-channel lineup applied and verified, every receiver
upgraded with a 1 MB archive.  Prints one line per figure."""

import io
import json
import os
import random
import socket
import statistics
import subprocess
import tarfile
import time

WORLD = os.environ["VYX_WORLD"]
WORK = os.environ["HOTEL_WORK"]


def say(text):
    print("hotel: " + text, flush=True)


def load() -> str:
    """The load averages now (1, 5, 15 min): the machine is shared, so
    every figure says what else ran beside it."""
    with open("/proc/loadavg") as f:
        return "load " + " ".join(f.read().split()[:3])


def hosts():
    with open(os.path.join(WORLD, "devices")) as f:
        return [line.split() for line in f if line.strip()]


def rss_by_host() -> dict:
    """KiB of resident memory of every process of each device host."""
    out = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read().split(b"\0")
            host = next((e[9:].decode() for e in env if e.startswith(b"VYX_HOST=")), None)
            if host is None:
                continue
            with open("/proc/%s/status" % pid) as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration, ValueError):
            continue
        out[host] = out.get(host, 0) + rss
    return out


def round_trips(devs, seconds=10.0) -> list:
    """VERS round trips (ms) to every device in turn, while a request to
    announce goes to all of them every second."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    poke = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    poke.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    s.settimeout(2.0)
    times, lost = [], 0
    end = time.monotonic() + seconds
    next_poke = 0.0
    i = 0
    while time.monotonic() < end:
        if time.monotonic() >= next_poke:
            poke.sendto(b"VYX?", ("239.255.250.250", 52429))
            next_poke = time.monotonic() + 1.0
        ip, port = devs[i % len(devs)]
        i += 1
        t0 = time.monotonic()
        s.sendto(b"VERS", (ip, port))
        try:
            while True:
                data, src = s.recvfrom(2048)
                if src == (ip, port):
                    break
            times.append((time.monotonic() - t0) * 1000)
        except socket.timeout:
            lost += 1
    return times, lost


def lineup_file(txs) -> str:
    chans = []
    for k, (name, _, _) in enumerate(txs):
        for p in range(1, 7):
            chans.append({"channel": "1:%d" % p, "tuner": 10 + k + 1,
                          "to": "239.20.%d.%d:1234" % (k, p), "name": "%s-%d" % (name, p)})
    path = os.path.join(WORK, "hotel24.json")
    with open(path, "w") as f:
        json.dump({"transmitters": [t[0] for t in txs], "channels": chans}, f)
    return path


def timed(*args):
    t0 = time.monotonic()
    r = subprocess.run(["vyxctl", *args, "--json"], capture_output=True, text=True)
    return time.monotonic() - t0, r


def main():
    started = time.time() - float(os.environ["HOTEL_T0"])
    devs = hosts()
    txs = [d for d in devs if d[1] == "T"]
    rxs = [d for d in devs if d[1] == "R"]
    say("world of %d transmitters and %d receivers started in %.1f s (%s)"
        % (len(txs), len(rxs), started, load()))
    rss = rss_by_host()
    for role, group in (("transmitter", txs), ("receiver", rxs)):
        values = [rss.get(d[0], 0) / 1024 for d in group]
        if values:
            say("%s host memory (RSS of its processes): mean %.1f MiB, max %.1f MiB"
                % (role, statistics.mean(values), max(values)))
    say("all device hosts together: %.0f MiB" % (sum(rss.values()) / 1024))
    addrs = [(a.split(":")[0], int(a.split(":")[1])) for _, _, a in devs]
    before = load()
    times, lost = round_trips(addrs)
    times.sort()
    if times:
        say("VERS round trips while all beacon: %d, p50 %.2f ms, p99 %.2f ms, %d lost (%s)"
            % (len(times), times[len(times) // 2], times[min(len(times) - 1,
                                                             int(len(times) * 0.99))], lost,
               before))
    path = lineup_file(txs)
    for run in ("", " again (nothing to send)"):
        before = load()
        took, r = timed("lineup", "apply", path, "--m3u", os.path.join(WORK, "h.m3u"),
                        "--xmltv", os.path.join(WORK, "h.xml"))
        try:
            got = json.loads(r.stdout)
            ok = sum(1 for v in got["verified"] if v["ok"])
            say("%d-channel lineup on %d transmitters%s: planned in %.1f s (channel lists read, "
                "scanned where a transmitter had none), sent by %.1f s, sent and verified in "
                "%.1f s, %d of %d verified, %d command(s) sent (exit %d; %s)"
                % (len(got["verified"]), len(txs), run, got["seconds_planned"],
                   got["seconds_applied"], took, ok, len(got["verified"]),
                   sum(len(a) for a in got["sent"].values()), r.returncode, before))
        except (ValueError, KeyError):
            say("lineup apply failed (exit %d): %s" % (r.returncode, r.stderr.strip()[-300:]))
    payload = random.Random(1).randbytes(1000 * 1000)
    archive = os.path.join(WORK, "fw.tar")
    with tarfile.open(archive, "w") as tar:
        for name, data in (("VERSION", b"0.83.0\n"), ("rootfs.img", payload)):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    before = load()
    took, r = timed("fleet", "upgrade", archive, "--role", "receiver", "--parallel",
                    os.environ.get("HOTEL_PARALLEL", "16"), "--discover", "5")
    try:
        got = json.loads(r.stdout)
        say("%d receivers upgraded with a 1 MB archive (%d at a time): %.1f s, of which 5 s "
            "finding them by their beacons; %d failed (%s, then %s)"
            % (len(got["devices"]), int(os.environ.get("HOTEL_PARALLEL", "16")), took,
               got["failed"], before, load()))
    except (ValueError, KeyError):
        say("fleet upgrade failed (exit %d): %s" % (r.returncode, r.stderr.strip()[-300:]))


if __name__ == "__main__":
    main()
