"""vyxctl lineup plan|apply|status: a channel lineup from one file, placed
on the transmitters, sent, verified on the controller and exported."""

import os
import time

from . import decode, export, placement, progress, tscheck
from .common import channel_list, note
from .hub import Hub, run_parallel, select_devices
from .tunercmds import guide_query
from .wire import CtlError, NoReply, Refused


# ------------------------------------------------------------ the devices
def transmitters(args, lineup) -> list:
    devices = args.tx or ",".join(lineup["transmitters"] or []) or "transmitters"
    return select_devices(devices, args.discover, role="transmitter")


def tx_state(link, timeout: float) -> dict:
    """The tuned channel (SCA?) and the streams and signal (STATUS)."""
    sca = decode.parse_sca(link.request("SCA?", timeout, what="SCA?",
                                        accept=lambda d: len(d) == 4 and d[0] == 0))
    st = decode.parse_status(link.request("STATUS", timeout + 1.0, what="STATUS"))
    if st["role"] != "transmitter":
        raise Refused("%s:%d is not a transmitter" % link.dest)
    return {"channel": sca["channel"], "scan": sca["state"], "streams": st["streams"],
            "signal": st["signal"], "locked": st["locked"]}


def scan(link, name: str, timeout: float, ask_timeout: float = 5.0):
    """A blind scan of a transmitter without a channel list, followed as
    `vyxctl scan` follows it; its progress as a line every few seconds.  A
    scan not ended within `timeout` is stopped (BLIND99) and reported."""
    note("%s has no channel list: scanning its band" % name)
    mode = decode.parse_status(link.request("STATUS", ask_timeout, what="STATUS"))["tuner_mode"]
    state = progress.ScanProgress(*progress.CHANNEL_RANGES.get(mode, (1, 158)))
    deadline = time.monotonic() + timeout
    noted = [time.monotonic()]

    def update():
        if time.monotonic() - noted[0] >= 5.0:
            note("%s: %s" % (name, state.render()))
            noted[0] = time.monotonic()
    link.drain()
    link.send("BLIND0")
    if progress.follow_scan(link, state, 20.0, 30.0, on_update=update, who=name,
                            stop_wanted=lambda: time.monotonic() >= deadline):
        raise NoReply("%s: the scan did not end within %gs (stopped)" % (name, timeout))


def survey(args, hub, devs, allow_scan: bool) -> dict:
    """{name: {"link", "list", "state"}} of every transmitter, in parallel;
    a transmitter that fails is reported and left out."""
    def one(dev):
        name, ip, port = dev
        link = hub.link(ip, port)
        table = channel_list(link, args.timeout)
        if not table and allow_scan:
            scan(link, name, args.scan_timeout, args.timeout + 1.0)
            table = channel_list(link, args.timeout)
        return {"link": link, "list": table, "state": tx_state(link, args.timeout)}
    out = {}
    for (name, _, _), res, err in run_parallel(devs, one, len(devs)):
        if err is not None:
            note("%s left out: %s" % (name, err))
            if not isinstance(err, CtlError):
                raise err
            continue
        out[name] = res
    if not out:
        raise NoReply("no transmitter could be asked for its channels")
    return out


def make_plan(args, hub, lineup, allow_scan=True):
    devs = transmitters(args, lineup)
    txs = survey(args, hub, devs, allow_scan)
    lists = {n: t["list"] for n, t in txs.items()}
    states = {n: t["state"] for n, t in txs.items()}
    return txs, placement.place(lineup, lists, states), states


# ------------------------------------------------------------------ plan
def cmd_plan(args, out) -> int:
    lineup = placement.load_lineup(args.file)
    with Hub(args.sport) as hub:
        _, plan, states = make_plan(args, hub, lineup)
    acts = {tx: placement.actions(p, states[tx]) for tx, p in plan["transmitters"].items()}
    obj = placement.plan_json(plan)
    out.result(obj, placement.summary_lines(plan, acts))
    return Refused.status if plan["unplaced"] else 0


# ----------------------------------------------------------------- apply
def send_actions(link, name, acts, timeout) -> list:
    """Carries out one transmitter's actions in order; returns what was
    done.  A failure raises with what was done so far in `done`."""
    done = []
    for act in acts:
        if act[0] == "stop-all":
            text = "UNIT0"
        elif act[0] == "lang":
            text = "LANG %s" % act[1]
        elif act[0] == "stop":
            text = "UNIT5,%d" % act[1]
        else:
            text = placement.unit_text(act[1], act[1]["entry"]["tuner_channel"])
        try:
            decode.check_ok(link.request(text, timeout, what=text), "%s %s" % (name, text))
        except CtlError as e:
            e.done = done
            raise
        done.append(text)
        note("%s: %s OK" % (name, text))
    return done


def placed_streams(plan) -> list:
    streams = [s for p in plan["transmitters"].values() for s in p["streams"]]
    return sorted(streams, key=lambda s: s["index"])


# A group that already holds its PAT, PMT and every elementary PID after
# this long, with clean continuity, needs no more recording to be verified.
SETTLE_S = 1.0


def verify(plan, seconds, settle=None) -> list:
    streams = placed_streams(plan)
    results = tscheck.check_groups([(s["group"], s["port"], s["entry"]["program"])
                                    for s in streams], seconds, settle)
    return list(zip(streams, results))


def write_exports(args, txs, streams):
    base = os.path.splitext(os.path.basename(args.file))[0]
    m3u = args.m3u or base + ".m3u"
    xml = args.xmltv or base + ".xml"
    lines = ["#EXTM3U"]
    guide = []
    ids = export.channel_ids([s["entry"] for s in streams])    # as write_xmltv's
    for s, cid in zip(streams, ids):
        e = s["entry"]
        name = s["name"] or e["name"] or s["ref"]
        chno = e["virtual"] or str(s["index"])
        lines.append('#EXTINF:-1 tvg-id="%s" tvg-name="%s" tvg-chno="%s",%s'
                     % (cid, name.replace('"', "'"), chno,
                        ("%s %s" % (chno, name)).replace(",", " ")))
        lines.append("udp://@%s:%d" % (s["group"], s["port"]))
        try:
            events = guide_query(txs[s["transmitter"]]["link"], e, 0, args.timeout)
        except CtlError as err:
            note("%s: no guide (%s)" % (s["ref"], err))
            events = []
        guide.append((dict(e, name=name), events))
    with open(m3u, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    programmes = export.write_xmltv(xml, guide)
    return m3u, xml, programmes


def cmd_apply(args, out) -> int:
    lineup = placement.load_lineup(args.file)
    started = time.monotonic()
    with Hub(args.sport) as hub:
        txs, plan, states = make_plan(args, hub, lineup)
        planned = time.monotonic() - started        # channel lists read (or scanned)
        acts = {tx: placement.actions(p, states[tx]) for tx, p in plan["transmitters"].items()}
        # Transmitters tuned to nothing of this lineup keep what they send.
        work = [(tx, a) for tx, a in acts.items() if a]
        if not work:
            note("every stream already runs as planned: nothing sent")
        res = run_parallel(work, lambda w: send_actions(txs[w[0]]["link"], w[0], w[1],
                                                        args.unit_timeout), len(work) or 1)
        failed = {}
        for (tx, _), done, err in res:
            if err is not None:
                failed[tx] = {"error": str(err), "done": getattr(err, "done", [])}
                note("%s: FAILED after %d of its steps: %s (a re-run finishes it)"
                     % (tx, len(failed[tx]["done"]), err))
        applied = time.monotonic() - started
        checked = verify(plan, args.verify, min(SETTLE_S, args.verify)) if args.verify > 0 else []
        m3u, xml, programmes = write_exports(args, txs, placed_streams(plan))
    bad = [(s, r) for s, r in checked if not r["ok"]]
    obj = dict(placement.plan_json(plan),
               sent={tx: [a[0] if a[0] != "start" else "start slot %d" % a[1]["slot"]
                          for a in acts[tx]] for tx in acts},
               failed=failed, seconds_planned=round(planned, 1),
               seconds_applied=round(applied, 1),
               seconds_total=round(time.monotonic() - started, 1),
               verified=[dict(r, channel=s["ref"], group="%s:%d" % (s["group"], s["port"]))
                         for s, r in checked], m3u=m3u, xmltv=xml)
    lines = placement.summary_lines(plan, acts)
    lines.append("sent in %.1f s: %s" % (applied, "; ".join(
        "%s %d command(s)" % (tx, len(a)) for tx, a in sorted(acts.items())) or "nothing"))
    for s, r in checked:
        lines.append("verify %-8s udp://@%s:%d  %s  %d datagrams, %d continuity error(s)%s"
                     % (s["ref"], s["group"], s["port"], "OK  " if r["ok"] else "FAIL",
                        r["datagrams"], r["continuity_errors"],
                        "" if r["ok"] else ": " + "; ".join(r["reasons"])))
    lines.append("M3U %s, XMLTV %s (%d programme(s))" % (m3u, xml, programmes))
    out.result(obj, lines)
    if failed or bad or plan["unplaced"]:
        return Refused.status
    return 0


# ---------------------------------------------------------------- status
def cmd_status(args, out) -> int:
    lineup = placement.load_lineup(args.file)
    with Hub(args.sport) as hub:
        _, plan, states = make_plan(args, hub, lineup, allow_scan=False)
        checked = verify(plan, args.seconds)
    rows, lines = [], ["%-8s %-14s %-21s %-8s %7s %4s %-6s %s"
                       % ("CHANNEL", "NAME", "GROUP", "TX", "DGRAM/S", "CC", "SIGNAL", "STATE")]
    for s, r in checked:
        st = states[s["transmitter"]]
        running = any(x["id"] == s["slot"] and x["group"] == s["group"] and x["port"] == s["port"]
                      for x in st["streams"])
        state = "ok" if r["ok"] and running else "not running" if not running else \
            "; ".join(r["reasons"])
        rows.append(dict(r, channel=s["ref"], transmitter=s["transmitter"], signal=st["signal"],
                         group="%s:%d" % (s["group"], s["port"]), running=running, state=state))
        lines.append("%-8s %-14s %-21s %-8s %7.1f %4d %d of 5 %s"
                     % (s["ref"], (s["name"] or s["entry"]["name"] or "-")[:14],
                        "%s:%d" % (s["group"], s["port"]), s["transmitter"],
                        r["datagrams_per_s"], r["continuity_errors"], st["signal"], state))
    for u in plan["unplaced"]:
        lines.append("%-8s not placed: %s" % (u["channel"]["ref"], u["reason"]))
    out.result({"channels": rows, "unplaced": placement.plan_json(plan)["unplaced"]}, lines)
    return 0 if all(r["state"] == "ok" for r in rows) and not plan["unplaced"] else Refused.status
