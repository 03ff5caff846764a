#!/usr/bin/env python3
"""The long packet-by-packet check, seen from the controller host of a
simulated world (scripts/longcheck.sh).

  longcheck_control.py GB INPUT_TS TSRUN_CHECK WORKDIR

Starts two streams on the transmitter (slots 1 and 2: program 1 to
239.1.1.1:1234, program 2 to 239.1.1.2:1236; the player stand-in feeds the
file in buffers of random sizes from its seed, looping, from the second
UNIT's tune on), then has both groups recorded into FIFOs that tsrun_check
reads as they fill (through txflow_check.py long).  Once the device has
sent what GB gigabytes of input make, the player's feed is stopped
(k720cmmd -stopvid on the transmitter host) and the recorders end 3 s after
their last datagram.  No command but DUMPSTATS reaches the device while
they record, so nothing of the device's own (a retune, a stream's stop)
breaks the streams, and the recordings start and end on datagrams that the
device cut whole: no restart, no short datagram is allowed.

Datagrams sent are the device's own byte counter over 1316 (DUMPSTATS, read
every 10 s for its 32-bit wrap) from a moment after the recorders joined
until the feed stopped: the recorders get a few more, those sent before the
first count.  Losses within the recordings are the check's (a gap in the
input's sequence); datagrams dropped on the receiving side are the
controller host's UDP RcvbufErrors, apart from what the transmitter lost.
Prints a JSON report; exit 0 when both recordings hold, every datagram was
1316 bytes, none was dropped on either side and at least GB gigabytes were
fed while recording.
"""

import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
from soak_control import proc_stats, tx_bytes_out  # noqa: E402
from vyxe2e import Controller, device, poll, read_text  # noqa: E402

STREAMS = [("239.1.1.1", 1234, 1), ("239.1.1.2", 1236, 2)]
DATAGRAM = 1316
CHANNEL = 5
CHECK = os.path.join(HERE, "..", "tests", "e2e", "txflow_check.py")


def udp_counters(host=None):
    """The Udp line of /proc/net/snmp, of this host or of a device host."""
    if host is None:
        with open("/proc/net/snmp") as f:
            text = f.read()
    else:
        text = subprocess.run(["devsim", "exec", host, "--", "cat", "/proc/net/snmp"],
                              capture_output=True, text=True, check=True).stdout
    rows = [line.split()[1:] for line in text.splitlines() if line.startswith("Udp:")]
    return {k: int(v) for k, v in zip(rows[0], rows[1])}


def feed_events(kind):
    out = []
    for line in read_text("tx", "player.jsonl").splitlines():
        try:
            e = json.loads(line)
        except ValueError:
            continue
        if e.get("event") == kind:
            out.append(e)
    return out


def player_command(*words):
    subprocess.run(["devsim", "exec", "tx", "--", "k720cmmd", *words], check=True,
                   stdout=subprocess.DEVNULL)


def stop_feed():
    before = len(feed_events("feed_stop"))
    player_command("-stopvid")
    return poll(lambda: feed_events("feed_stop")[before:], 20, "the feed's stop")[0]


def forwarded_fraction(path):
    """Bytes the two streams send per byte of input: their PIDs' packets and
    one regenerated PAT per input PAT, for each stream."""
    sys.path.insert(0, os.path.dirname(CHECK))
    import txflow_check as tc
    problems = []
    with open(path, "rb") as f:
        src = tc.packets(f.read(), "input", problems)
    layout = tc.input_layout(src, problems)
    count = 0
    for _, _, program in STREAMS:
        pids = tc.expected_pids(layout, [program], None, problems)
        count += sum(1 for p in src if tc.pid_of(p) in pids)
    return count / len(src)


def wait_rusage(proc):
    """Waits for a child; its exit status and CPU seconds (user + system)."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_utime + usage.ru_stime


def main():
    gb, input_ts, tool, work = float(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    ctl = Controller()
    for i, (group, port, program) in enumerate(STREAMS):
        text = "UNIT4,%d,%s,%d,%x,1,%x" % (i + 1, group, port, CHANNEL, program)
        r = ctl.command(device("tx"), text, timeout=60)
        if r != b"OK\r\n":
            print("longcheck: %s answered %r" % (text, r), file=sys.stderr)
            return 1
    time.sleep(1)
    fraction = forwarded_fraction(input_ts)
    recorders, checkers = [], []
    for group, port, program in STREAMS:
        fifo = os.path.join(work, "%s_%d.fifo" % (group, port))
        if os.path.exists(fifo):
            os.unlink(fifo)
        os.mkfifo(fifo)
        checkers.append(subprocess.Popen(
            ["python3", CHECK, "long", input_ts, fifo, "--program", str(program), "--tool", tool],
            stdout=subprocess.PIPE, stderr=open(os.path.join(work, "check-%d.err" % port), "w"),
            text=True))
        recorders.append(subprocess.Popen(
            ["vyxctl", "record", "%s:%d" % (group, port), "86400", fifo, "--idle", "3"],
            stdout=subprocess.PIPE, text=True))
    # The recorders bind their ports as they start: wait for both.
    poll(lambda: all(":%04X " % port in open("/proc/net/udp").read() for _, port, _ in STREAMS),
         20, "the recorders' sockets")
    time.sleep(0.2)
    # The receiving side's count first: what arrives between the two reads
    # was sent before the device's count, so no loss hides in the skew.
    udp_rx0, udp_tx0 = udp_counters(), udp_counters("tx")
    out0 = tx_bytes_out(ctl, "tx")
    player = int(read_text("tx", "player.pid").strip())
    _, cpu0 = proc_stats(player)
    t0 = time.monotonic()
    target = gb * 1e9 * fraction
    out_total, out_last = 0, out0
    while out_total < target:
        time.sleep(10)
        cur = tx_bytes_out(ctl, "tx")
        out_total += (cur - out_last) & 0xFFFFFFFF
        out_last = cur
        rec_dead = [r for r in recorders if r.poll() is not None]
        if rec_dead:
            print("longcheck: a recorder ended early", file=sys.stderr)
            break
    fed = stop_feed()
    elapsed = time.monotonic() - t0
    _, cpu1 = proc_stats(player)
    summaries, rec_cpu = [], []
    for r in recorders:
        out = r.stdout.read()
        _, cpu = wait_rusage(r)
        rec_cpu.append(round(cpu, 1))
        summaries.append(json.loads(out.strip().splitlines()[-1]) if out.strip() else {})
    checks, check_cpu = [], []
    for c in checkers:
        out = c.stdout.read()
        _, cpu = wait_rusage(c)
        check_cpu.append(round(cpu, 1))
        try:
            checks.append(json.loads(out.strip().splitlines()[-1]))
        except (ValueError, IndexError):
            checks.append({"ok": False, "output": out[-500:]})
    cur = tx_bytes_out(ctl, "tx")
    out_total += (cur - out_last) & 0xFFFFFFFF
    udp_rx1, udp_tx1 = udp_counters(), udp_counters("tx")
    errors_tx = [line for line in read_text("tx", "stderr.log").splitlines()
                 if re.search(r"Too much data|Send: ", line)]

    received = sum(s.get("bytes", 0) for s in summaries)
    report = {
        "seed": os.environ.get("VYX_FEED_SEED"),
        "rate": os.environ.get("VYX_FEED_RATE"),
        # The feed's own figures, from the second UNIT's tune to its stop.
        "fed_gb_since_tune": round(fed["bytes"] / 1e9, 3),
        "buffers_since_tune": fed["buffers"],
        "seconds_recorded": round(elapsed, 1),
        "datagrams_sent": out_total // DATAGRAM,
        "bytes_sent": out_total,
        "datagrams_received": received // DATAGRAM,
        "bytes_received": received,
        "streams": {},
        "receive_side_drops": udp_rx1.get("RcvbufErrors", 0) - udp_rx0.get("RcvbufErrors", 0),
        "controller_udp_in": udp_rx1.get("InDatagrams", 0) - udp_rx0.get("InDatagrams", 0),
        "tx_udp_out": udp_tx1.get("OutDatagrams", 0) - udp_tx0.get("OutDatagrams", 0),
        "tx_send_buffer_errors": udp_tx1.get("SndbufErrors", 0) - udp_tx0.get("SndbufErrors", 0),
        "tx_error_reports": len(errors_tx),
        "cpu_s": {"player": round(cpu1 - cpu0, 1), "recorders": rec_cpu, "checkers": check_cpu},
    }
    fed_window = out_total / fraction
    report["fed_gb_while_recording"] = round(fed_window / 1e9, 3)
    report["feed_mbit_s"] = round(fed_window * 8 / elapsed / 1e6, 1)
    report["datagrams_before_first_count"] = (received - out_total) // DATAGRAM
    # Every datagram the device counted reached a socket on the controller
    # (the kernel's count there also holds the DUMPSTATS replies).
    ok = (fed_window >= gb * 1e9 and received >= out_total and report["receive_side_drops"] == 0
          and report["controller_udp_in"] >= report["datagrams_sent"] and report["tx_error_reports"] == 0)
    for (group, port, program), s, c in zip(STREAMS, summaries, checks):
        sizes = s.get("sizes", {})
        odd = {k: v for k, v in sizes.items() if int(k) != DATAGRAM}
        report["streams"]["%s:%d" % (group, port)] = {
            "program": program, "datagrams": s.get("datagrams", 0), "odd_sizes": odd, "check": c}
        ok = ok and not odd and c.get("ok") is True and s.get("datagrams", 0) > 0
    for port in (p for _, p, _ in STREAMS):
        with open(os.path.join(work, "check-%d.err" % port)) as f:
            for line in f.read().splitlines()[:10]:
                print("port %d: %s" % (port, line), file=sys.stderr)
    report["ok"] = ok
    print(json.dumps(report, indent=1), flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
