"""vyxctl's subcommands of the transmitter's tuner: the blind scan with its
progress, the channel list (and its playlist), the guide (and XMLTV)."""

import sys
import time

from . import decode
from . import export
from . import progress
from .common import channel_list, forwarded, note, open_device
from .wire import Link, LocalError, NoReply, Refused


# -------------------------------------------------------------------- scan
def cmd_scan(args, out) -> int:
    with open_device(args) as link:
        if args.mode:
            text = "TUNERMODE%d" % progress.MODES[args.mode]
            decode.check_ok(link.request(text, args.timeout + 60, what=text), "tuner mode")
            mode = args.mode.upper()
        else:
            st = decode.parse_status(link.request("STATUS", args.timeout + 1.0))
            if st["role"] != "transmitter":
                raise Refused("only a transmitter scans")
            mode = st["tuner_mode"]
        if mode not in progress.CHANNEL_RANGES:
            raise Refused("the tuner is in mode %r; choose one with --mode" % mode)
        first, last = progress.CHANNEL_RANGES[mode]
        if args.channel is not None:
            if not first <= args.channel <= last:
                raise Refused("channel %d is outside %s's %d..%d" % (args.channel, mode, first,
                                                                      last))
            first = last = args.channel
        state = progress.ScanProgress(first, last)
        shown = progress.Bar(sys.stderr, every=5.0)
        last_snapshot = [None]

        def update():
            snap = state.snapshot()
            if args.json and snap != last_snapshot[0]:
                out.event(dict(snap, event="progress"))
            last_snapshot[0] = snap
            if not args.quiet:
                shown.show(state.render())

        def interrupted_now():
            shown.end()
            note("stopping the scan (BLIND99); waiting for it to complete")
        link.drain()
        link.send("Tuner://%x" % args.channel if args.channel is not None else "BLIND0")
        try:
            interrupted = progress.follow_scan(link, state, args.timeout + 10, args.silence,
                                               on_update=update, on_interrupt=interrupted_now)
        except progress.ScanNotStarted as e:
            raise forwarded(link, e) from None
        else:
            if not args.quiet:
                shown.show(state.render(), force=True)     # the end, however recent the last
        finally:
            shown.end()
    snap = state.snapshot()
    summary = dict(snap, event="summary", interrupted=interrupted, mode=mode)
    lines = ["scan %s: %d of %d channel(s) locked, %d program(s) found"
             % ("stopped" if interrupted else "complete", len(state.locked), state.total,
                state.programs)]
    for ch in state.locked:
        lines.append("  channel %d: %s" % (ch, "%d program(s)" % state.found[ch]
                                           if ch in state.found else "no programs"))
    out.result(summary, lines)
    return 130 if interrupted else 0


# ---------------------------------------------------------------- channels
def channel_lines(table) -> list:
    head = "%-6s %-14s %6s %7s %5s %-9s %-13s %-12s %s" % (
        "CHAN", "NAME", "TSID", "PROGRAM", "TUNER", "STRENGTH", "VIDEO", "AUDIO", "ACCESS")
    lines = [head]
    for c in table:
        lines.append("%-6s %-14s %6d %7d %5d %-9s %-13s %-12s %s" % (
            c["virtual"] or "-", c["name"] or "-", c["transport_id"], c["program"],
            c["tuner_channel"], "%d of 5" % c["strength"], c["video"], c["audio"],
            "scrambled" if c["scrambled"] else "clear"))
    return lines


def cmd_channels(args, out) -> int:
    with open_device(args) as link:
        table = channel_list(link, args.timeout)
    lines = channel_lines(table)
    obj = {"channels": table}
    if args.m3u:
        group, port = args.m3u
        try:
            export.write_m3u(args.output, table, group, port, args.device)
        except (OSError, ValueError) as e:
            raise LocalError("cannot write %s: %s" % (args.output, e))
        obj["m3u"] = args.output
        lines.append("playlist of %d stream(s) written to %s" % (len(table), args.output))
    out.result(obj, lines)
    return 0


# ------------------------------------------------------------------- guide
def guide_query(link: Link, ch, hours, timeout):
    if hours:
        text = "EITL%04x,%04x,%d%02d" % (ch["transport_id"], ch["program"], hours, 0)
    else:
        text = "EITN%04x,%04x" % (ch["transport_id"], ch["program"])
    try:
        reply = link.request(text, timeout, what=text,
                             accept=lambda d: d.startswith(b"EITI") or d.startswith(b"KO"))
    except NoReply as e:
        raise forwarded(link, e)
    return decode.parse_eiti(reply)


def cmd_guide(args, out) -> int:
    with open_device(args) as link:
        table = channel_list(link, args.timeout)
        if args.programs:
            table = [c for c in table if c["virtual"] in args.programs or
                     "%d:%d" % (c["transport_id"], c["program"]) in args.programs]
        elif not args.all:
            # The device keeps the guide of the channel its tuner is on.
            link.drain()
            link.send("SCA?")
            reply = link.next(time.monotonic() + args.timeout,
                              accept=lambda d: len(d) == 4 and d[0] == 0)
            if reply is None:
                raise NoReply("%s:%d did not answer SCA? within %gs" % (link.ip, link.port,
                                                                       args.timeout))
            tuned = decode.parse_sca(reply)["channel"]
            table = [c for c in table if c["tuner_channel"] == tuned]
            note("the guide of tuner channel %d, the one the transmitter is tuned to "
                 "(--all: every listed program)" % tuned)
        guide = [(c, guide_query(link, c, args.hours, args.timeout)) for c in table]
    lines = []
    for c, events in guide:
        lines.append("%s" % export.label(c))
        for ev in events or []:
            lines.append("  %s  %3d min  %s" % (ev["start"][:16].replace("T", " "), ev["minutes"],
                                                 export.string_text(ev["title"]) or "(no title)"))
            desc = export.string_text(ev["description"])
            if desc:
                lines.append("      %s" % desc)
        if not events:
            lines.append("  (no event)")
    obj = {"guide": [{"channel": c, "events": e} for c, e in guide]}
    if args.xmltv:
        try:
            n = export.write_xmltv(args.xmltv, guide)
        except OSError as e:
            raise LocalError("cannot write %s: %s" % (args.xmltv, e.strerror))
        obj["xmltv"] = args.xmltv
        lines.append("XMLTV with %d channel(s) and %d programme(s) written to %s"
                     % (len(guide), n, args.xmltv))
    out.result(obj, lines)
    return 0
