#!/usr/bin/env python3
"""A compressed week on air, seen from the controller host of a simulated
world (scripts/week.sh).

  week_control.py WORKDIR GENERATOR [--days D] [--hour-seconds S]
                  [--guide-wait S] [--max-error-lines N]

WORKDIR holds the two multiplexes the transmitter's band plays (mux0.ts on
tuner channel 5, mux1.ts on channel 7); GENERATOR is make_guide_stream, which
writes each simulated hour of them ("week" mode: a new STT, EIT windows
shifted with new versions, PMT versions and a second audio track coming and
going) and what the hour announces (muxN.json).  The player stand-in maps
the new file when its feed comes round to the start.

Two streams out (slots 1 and 2: programs 1 and 2 to 239.1.1.1:1234 and
239.1.1.2:1236), the receiver playing the first, every group received here
by a thread of its own.  Each simulated day, at these hours:
   2  the signal lost (the player's signal-lost file), back at 3; the
      transmitter's STATUS must show its lock go to 0 and back to 1
   6  the SNMP agent and the system manager stand-ins restarted on both hosts
   9  RESET of both devices; what the start-up item does not bring back is
      started again (and said)
  12  a retune to the other multiplex (both streams)
  23  after the hour: the next 12 h of guide of every program of the tuned
      multiplex asked (EITI, each event at its first minute) until every
      event the stream announces is answered exactly (start, duration,
      title, description) or --guide-wait seconds pass.
Prints one JSON line per day (guide complete with counts, datagrams sent
by the transmitter and received here, report lines written to each
device's stdout.log and stderr.log, the players' RSS), then a summary.
Datagrams sent are the transmitter's own byte count (DUMPSTATS) over 1316;
losses are judged on bytes.  Exit 1 when a day's guide is incomplete, data
was lost (fewer bytes received than sent, beyond 0.1 %), a group received
nothing for a day, the receiver is not playing at a day's end, a device
wrote more than --max-error-lines lines to stderr.log in a day, a command
went unanswered, a sanitizer error was reported, or (over several days)
the transmitter's player grew by more than a quarter of its first day's
RSS and 8 MiB.
"""

import argparse
import json
import os
import re
import select
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "platform", "vyxctl_pkg"))
sys.path.insert(0, HERE)
from soak_control import DATAGRAM, GROUPS, Group, proc_stats, tx_bytes_out  # noqa: E402
from vyxe2e import OK, VERSION_REPLY, Controller, device, exec_host, host_dir, read_text  # noqa: E402
from vyxe2e import sanitizer_errors, standin_pid  # noqa: E402
from vyxctl import decode  # noqa: E402

CHANNELS = [5, 7]          # tuner channel of mux 0 and mux 1
TSIDS = [0x0A01, 0x0B02]   # their transport ids (platform/tsfixture/tsfixture_week.cpp)
RX_PLAY = "UNIT1,239.1.1.1,1234,0,1"
LOSS_TOLERANCE = 0.001


def stream_commands(mux):
    """Program 1 to the first group in slot 1, program 2 to the second in slot 2."""
    return ["UNIT4,%d,%s,%d,%x,%x,%x" % (slot + 1, g, p, CHANNELS[mux], TSIDS[mux], slot + 1)
            for slot, (g, p) in enumerate(GROUPS)]


class Receiver(threading.Thread):
    """Counts both groups' datagrams all the time, whatever the script waits for."""

    def __init__(self):
        super().__init__(daemon=True)
        self.groups = [Group(g, p) for g, p in GROUPS]
        for g in self.groups:
            g.counting = True
        self.lock = threading.Lock()
        self.done = False

    def run(self):
        while not self.done:
            select.select([g.sock for g in self.groups], [], [], 0.1)
            with self.lock:
                for g in self.groups:
                    g.read()

    def counts(self):
        """[(datagrams, bytes, datagrams shorter than 1316)] per group."""
        with self.lock:
            return [(g.datagrams, g.bytes, g.odd_sizes) for g in self.groups]


class Week:
    def __init__(self, args):
        self.args = args
        self.ctl = Controller()
        self.mux = 0
        self.failures = []
        self.commands = {"sent": 0, "missing": 0}
        self.notes = []
        self.out_last = 0
        self.out_day = 0

    # ------------------------------------------------------------ commands
    def command(self, host, text, timeout=30.0, expect=None):
        self.commands["sent"] += 1
        r = self.ctl.command(device(host), text, timeout=timeout)
        if r is None:
            self.commands["missing"] += 1
            self.fail("no reply to %s from %s" % (text, host))
        elif expect is not None and r != expect:
            self.fail("%s answered %r to %s" % (host, r, text))
        return r

    def fail(self, what):
        print("week: %s" % what, file=sys.stderr, flush=True)
        self.failures.append(what)

    def generate(self, hour):
        for mux in (0, 1):
            base = os.path.join(self.args.workdir, "mux%d" % mux)
            subprocess.run([self.args.generator, "week", base + ".ts", str(mux), str(hour),
                            base + ".json"], check=True)

    def sent_so_far(self):
        """Adds the transmitter's bytes sent since the last look to the day's."""
        cur = tx_bytes_out(self.ctl, "tx")
        self.out_day += (cur - self.out_last) & 0xFFFFFFFF
        self.out_last = cur

    # ------------------------------------------------------------- streams
    def start_streams(self):
        for text in stream_commands(self.mux):
            self.command("tx", text, timeout=60, expect=OK)

    def start_playing(self):
        self.command("rx", RX_PLAY, timeout=60, expect=OK)

    def restore_after_reset(self):
        status = self.command("tx", "STATUS", timeout=30) or b""
        missing = [text for (g, p), text in zip(GROUPS, stream_commands(self.mux))
                   if ("%s:%d" % (g, p)).encode() not in status]
        for text in missing:
            self.command("tx", text, timeout=60, expect=OK)
        rx_status = self.command("rx", "STATUS", timeout=30) or b""
        replay = b"239.1.1.1:1234" not in rx_status
        if replay:
            self.start_playing()
        return {"tx_streams_restarted": len(missing), "rx_replayed": replay}

    # -------------------------------------------------------------- events
    def signal(self, lost):
        """The tuner loses the signal or gets it back; the transmitter's
        STATUS must say so (lock 0 / 1) within 10 s."""
        path = os.path.join(host_dir("tx"), "signal-lost")
        if lost:
            open(path, "w").close()
        elif os.path.exists(path):
            os.unlink(path)
        want = b"0" if lost else b"1"
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            m = re.search(rb" 0:(\d):[0-9a-f]{2}:\[", self.ctl.command(device("tx"), "STATUS", 5.0) or b"")
            if m and m.group(1) == want:
                return
        self.fail("the transmitter's STATUS does not show the signal %s" % ("lost" if lost else "back"))

    def restart_standins(self):
        logs = {"snmpagent": "agent.jsonl", "sysmgr": "sysmgr.jsonl"}
        for host in ("tx", "rx"):
            for name in ("snmpagent", "sysmgr"):
                starts = read_text(host, logs[name]).count('"event":"start"')
                pid = standin_pid(host, name)
                os.kill(pid, signal.SIGTERM)
                deadline = time.monotonic() + 10
                while os.path.exists("/proc/%d" % pid) and time.monotonic() < deadline:
                    time.sleep(0.05)
                exec_host(host, "sh", "-c", '%s >>"$VYX_HOSTDIR/%s.log" 2>&1 </dev/null &'
                          % (name, name))
                # Restarted means up again: its start is logged (a starved
                # machine once took 72 s for it).
                deadline = time.monotonic() + 180
                while read_text(host, logs[name]).count('"event":"start"') <= starts:
                    if time.monotonic() > deadline:
                        self.fail("%s: %s did not start again" % (host, name))
                        break
                    time.sleep(0.1)
            # The agent answers again: IP? is read from it.
            reply = self.command(host, "IP?", timeout=30) or b""
            if not reply.startswith(b"DHCP:"):
                self.fail("%s: IP? after the agent's restart answered %r" % (host, reply))

    def reset(self):
        self.sent_so_far()
        before = {h: read_text(h, "player.pid").strip() for h in ("tx", "rx")}
        for h in ("rx", "tx"):
            self.command(h, "RESET", timeout=30, expect=OK)
        for h in ("tx", "rx"):
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline:
                pid = read_text(h, "player.pid").strip()
                if pid not in ("", before[h]) and \
                        self.ctl.command(device(h), "VERS", timeout=1.0) == VERSION_REPLY:
                    break
                time.sleep(0.2)
            else:
                self.fail("%s did not come back after RESET" % h)
        if read_text("tx", "player.pid").strip() not in ("", before["tx"]):
            self.out_last = 0  # a new process counts from 0
        return self.restore_after_reset()

    def retune(self):
        # A retune starts the transmitter's counters again.
        self.sent_so_far()
        self.mux = 1 - self.mux
        self.start_streams()
        self.out_last = 0

    # --------------------------------------------------------------- guide
    def manifest(self):
        with open(os.path.join(self.args.workdir, "mux%d.json" % self.mux)) as f:
            return json.load(f)

    def clock_at(self, stt):
        """TIME answers the STT's minute."""
        t = time.gmtime(stt)
        mjd = stt // 86400 + 40587
        want = b"TIME %x %02d%02d OK\r\n" % (mjd, t.tm_hour, t.tm_min)
        deadline = time.monotonic() + self.args.guide_wait
        while time.monotonic() < deadline:
            if self.ctl.command(device("tx"), "TIME", timeout=2.0) == want:
                return True
            time.sleep(0.2)
        return False

    def guide_once(self, m):
        """(events expected, answered exactly, descriptions exact, first
        problems) for the next 12 h.  Each event is asked at its first
        minute (EITI): a list answer (EITL) stops at 8 KB, some 10 h here."""
        now = m["stt"]
        expected = answered = texts_exact = 0
        problems = []
        for prog in m["programs"]:
            for e in prog["events"]:
                if not (e["start"] < now + 12 * 3600 and e["start"] + e["minutes"] * 60 > now):
                    continue
                expected += 1
                at = e["start"] + 60
                query = "EITI%04x,%04x,%x,%s" % (m["transport_id"], prog["program"],
                                                 at // 86400 + 40587, time.strftime("%H%M", time.gmtime(at)))
                reply = self.ctl.guide(device("tx"), query, 5.0)
                try:
                    got = decode.parse_eiti(reply) if reply is not None else []
                except (decode.BadReply, decode.Refused) as err:
                    got = [{"error": str(err)}]
                start = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(e["start"]))
                g = got[0] if len(got) == 1 else {}
                same_text = g.get("description", {}).get("text") == e["description"]
                texts_exact += same_text
                if same_text and g.get("start") == start and g.get("minutes") == e["minutes"] and \
                        g.get("title", {}).get("text") == e["title"]:
                    answered += 1
                elif len(problems) < 3:
                    problems.append("%s: %s" % (query, json.dumps(got)[:300] if got else "nothing"))
        return expected, answered, texts_exact, problems

    def guide_check(self):
        m = self.manifest()
        if not self.clock_at(m["stt"]):
            self.fail("the transmitter's TIME never reached the stream's STT")
        deadline = time.monotonic() + self.args.guide_wait
        t0 = time.monotonic()
        while True:
            expected, answered, exact, problems = self.guide_once(m)
            if (answered == expected and expected > 0) or time.monotonic() >= deadline:
                break
            time.sleep(1.0)
        return {"complete": answered == expected and expected > 0, "events": expected,
                "events_exact": answered, "descriptions_exact": exact,
                "multiplex": self.mux, "seconds": round(time.monotonic() - t0, 1),
                "problems": problems}

    # ----------------------------------------------------------------- day
    def log_lines(self):
        out = {}
        for h in ("tx", "rx"):
            for name in ("stdout.log", "stderr.log"):
                out["%s/%s" % (h, name)] = read_text(h, name).count("\n")
        return out

    def hour_events(self, hh):
        if hh == 2:
            self.signal(True)
        elif hh == 3:
            self.signal(False)
        elif hh == 6:
            self.restart_standins()
        elif hh == 9:
            return self.reset()
        elif hh == 12:
            self.retune()
        return None

    def day(self, d, receiver):
        counts0 = receiver.counts()
        lines0 = self.log_lines()
        self.out_day = 0
        self.sent_so_far()
        self.out_day = 0
        reset = None
        for hh in range(24):
            self.generate(d * 24 + hh)
            reset = self.hour_events(hh) or reset
            time.sleep(self.args.hour_seconds)
        guide = self.guide_check()
        self.sent_so_far()
        time.sleep(0.2)  # the datagrams of the last count on their way
        counts1 = receiver.counts()
        lines1 = self.log_lines()
        received = [[b - a for a, b in zip(c0, c1)] for c0, c1 in zip(counts0, counts1)]
        rx_status = self.command("rx", "STATUS", timeout=30) or b""
        report = {
            "day": d + 1, "guide": guide,
            "datagrams_sent": self.out_day // DATAGRAM,
            "datagrams_received": sum(r[0] for r in received),
            "bytes_sent": self.out_day, "bytes_received": sum(r[1] for r in received),
            "short_datagrams": sum(r[2] for r in received),
            "per_group": [r[0] for r in received],
            "report_lines": {k: lines1[k] - lines0[k] for k in lines1},
            "rss_kb": {h: proc_stats(int(read_text(h, "player.pid").strip()))[0] for h in ("tx", "rx")},
            "rx_playing": b"239.1.1.1:1234" in rx_status, "reset": reset,
        }
        self.judge(report)
        return report

    def judge(self, r):
        d = r["day"]
        if not r["guide"]["complete"]:
            self.fail("day %d: guide incomplete (%d of %d events exact)"
                      % (d, r["guide"]["events_exact"], r["guide"]["events"]))
        # Bytes, not datagrams: the device counts bytes, and a stream stopped
        # or retuned sends a last short datagram.
        sent, got = r["bytes_sent"], r["bytes_received"]
        if got < sent - max(2 * DATAGRAM, int(sent * LOSS_TOLERANCE)):
            self.fail("day %d: %d bytes sent, %d received" % (d, sent, got))
        if min(r["per_group"]) == 0:
            self.fail("day %d: a group received nothing (%s)" % (d, r["per_group"]))
        if not r["rx_playing"]:
            self.fail("day %d: the receiver does not play 239.1.1.1:1234" % d)
        for name, n in r["report_lines"].items():
            if name.endswith("stderr.log") and n > self.args.max_error_lines:
                self.fail("day %d: %d lines in %s" % (d, n, name))


def parse_args():
    p = argparse.ArgumentParser(description="A compressed week on air (scripts/week.sh).")
    p.add_argument("workdir")
    p.add_argument("generator")
    p.add_argument("--days", type=int, default=7)
    p.add_argument("--hour-seconds", type=float, default=5.0)
    p.add_argument("--guide-wait", type=float, default=60.0)
    p.add_argument("--max-error-lines", type=int, default=200)
    return p.parse_args()


def main():
    args = parse_args()
    week = Week(args)
    receiver = Receiver()
    receiver.start()
    t0 = time.monotonic()
    week.start_streams()
    week.start_playing()
    days = []
    for d in range(args.days):
        report = week.day(d, receiver)
        days.append(report)
        print(json.dumps(report), flush=True)
    receiver.done = True
    for host in ("tx", "rx"):
        errors = sanitizer_errors(host)
        if errors:
            week.fail("%s/stderr.log has sanitizer errors: %s" % (host, " | ".join(errors[:5])))
    rss = [r["rss_kb"]["tx"] for r in days]
    if len(rss) > 1 and max(rss[1:]) > rss[0] * 1.25 + 8192:
        week.fail("the transmitter's player grew from %d kB to %d kB" % (rss[0], max(rss[1:])))
    summary = {"days": args.days, "minutes": round((time.monotonic() - t0) / 60, 1),
               "hour_seconds": args.hour_seconds, "commands": week.commands,
               "failures": week.failures}
    print(json.dumps(summary), flush=True)
    return 1 if week.failures else 0


if __name__ == "__main__":
    sys.exit(main())
