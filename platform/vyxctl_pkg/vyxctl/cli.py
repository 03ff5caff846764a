"""vyxctl's subcommands and their options."""

import argparse
import os
import socket
import sys
import time

from . import console, decode, headend_cli
from . import progress
from . import upgrade as upgrade_mod
from .allow import register as register_allow
from .common import Out, channel_list, forwarded, note, open_device
from .rawcmds import cmd_beacon, cmd_listen, cmd_ready, cmd_record, cmd_send
from .tunercmds import cmd_channels, cmd_guide, cmd_scan
from .wire import (BEACON_GROUP, BEACON_PORT, BEACON_REQUEST_PORT, CONTROL_PORT, EXIT_STATUSES,
                  RX_PORT, TX_PORT, BadReply, CtlError, Link, LocalError, NoReply, Refused,
                  escape, join_group, parse_group, parse_hostport, receive)


def int_arg(text: str) -> int:
    """A number in decimal or 0x-hexadecimal."""
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)


def group_arg(text: str):
    try:
        return parse_group(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def group_default_port(text: str):
    try:
        return parse_group(text, 1234)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def hostport_arg(text: str):
    try:
        return parse_hostport(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


# ---------------------------------------------------------------- discover
def describe_device(d) -> str:
    return "%-11s %-15s %-17s %-8s %s" % (d["role"], d["address"], d["mac"] or "-",
                                          d["version"] or "-", d["model"])


def cmd_discover(args, out) -> int:
    listener = join_group(BEACON_GROUP, BEACON_PORT)
    poke = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    poke.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    devices = {}
    start = time.monotonic()
    deadline = None if args.watch else start + args.timeout
    next_poke = start
    interval = args.interval if args.watch else 1.0
    header = "%-11s %-15s %-17s %-8s %s" % ("ROLE", "ADDRESS", "MAC", "VERSION", "MODEL")
    listed = False

    def finish():
        found = sorted(devices.values(), key=lambda d: socket.inet_aton(d["address"]))
        return found

    try:
        while True:
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                break
            if args.count and len(devices) >= args.count and not args.watch:
                break
            if not args.no_poke and now >= next_poke:
                # Devices that are being commanded stay quiet until asked.
                poke.sendto(b"VYX?", (BEACON_GROUP, BEACON_REQUEST_PORT))
                next_poke = now + interval
            if args.watch and not listed and now - start >= args.timeout:
                listed = True
                out.event({"event": "list", "devices": finish()},
                          [header] + [describe_device(d) for d in finish()])
            if args.watch:
                for ip, d in list(devices.items()):
                    if now - d["seen"] > args.gone:
                        del devices[ip]
                        out.event({"event": "gone", "device": d}, ["- " + describe_device(d)])
            wake = next_poke if not args.no_poke else now + 1.0
            if deadline is not None:
                wake = min(wake, deadline)
            if args.watch and not listed:
                wake = min(wake, start + args.timeout)
            got = receive(listener, max(wake, now + 0.01))
            if got is None:
                continue
            data, (ip, _) = got
            try:
                info = decode.parse_beacon(data)
            except BadReply as e:
                note("%s (from %s)" % (e, ip))
                continue
            entry = {"address": ip, "role": info["role"], "mac": info["mac"],
                     "version": info["version"], "model": info["model"], "uuid": info["uuid"],
                     "port": TX_PORT if info["role"] == "transmitter" else RX_PORT,
                     "beacon": info["fields"]}
            old = devices.get(ip)
            entry["seen"] = time.monotonic()
            devices[ip] = entry
            if args.watch and listed and (old is None or
                                          {k: v for k, v in old.items() if k != "seen"} !=
                                          {k: v for k, v in entry.items() if k != "seen"}):
                out.event({"event": "new" if old is None else "changed", "device": entry},
                          ["+ " + describe_device(entry)])
    except KeyboardInterrupt:
        if not args.watch:
            raise
        return 0
    finally:
        listener.close()
        poke.close()
    found = finish()
    for d in found:
        d.pop("seen", None)
    if not found:
        raise NoReply("no beacon within %gs" % args.timeout)
    out.result(found, [header] + [describe_device(d) for d in found])
    if args.count and len(found) < args.count:
        raise NoReply("%d of %d devices found within %gs" % (len(found), args.count, args.timeout))
    return 0


# ------------------------------------------------------------------ status
def status_lines(where, version, st, ip) -> list:
    lines = ["%s %s  version %s" % (st["role"], where, version)]
    if ip is not None:
        lines.append("  network   DHCP %s, IP %s, netmask %s, gateway %s, MAC %s"
                     % ("on" if ip["dhcp"] else "off", ip["ip"], ip["netmask"], ip["gateway"],
                        ip["mac"] or "-"))
    if st["role"] == "transmitter":
        lines.append("  tuner     %s, signal %d of 5 (%s)" % (st["tuner_mode"], st["signal"],
                                                             "locked" if st["locked"] else
                                                             "no lock"))
        if not st["streams"]:
            lines.append("  streams   none")
        for s in st["streams"]:
            progs = ", ".join(str(p) for p in s["programs"]) or "all (no program chosen)"
            lines.append("  stream %d  %s %s:%d  programs %s"
                         % (s["id"], "active" if s["active"] else "idle", s["group"], s["port"],
                            progs))
    else:
        p = st["playing"]
        lines.append("  playing   %s" % ("%s:%d program %d (%s)"
                                        % (p["group"], p["port"], p["program"],
                                           "stream locked" if st["stream_locked"] else "no lock")
                                        if p else "nothing"))
        lines.append("  player    video type %d, audio type %d, browser %s"
                     % (st["video_type"], st["audio_type"], "shown" if st["browser"] else "hidden"))
    lines.append("  cpu       %d%%" % st["cpu"])
    return lines


def cmd_status(args, out) -> int:
    with open_device(args) as link:
        version = decode.parse_vers(link.request("VERS", args.timeout))
        # STATUS samples the CPU for a second before it answers.
        st = decode.parse_status(link.request("STATUS", args.timeout + 1.0))
        # A device whose agent cannot read a setting answers IP? with KO:
        # the rest of the status is still worth showing.
        try:
            ip, failed = decode.parse_ip(link.request("IP?", args.timeout)), None
        except Refused as e:
            ip, failed = None, str(e)
        where = "%s:%d" % link.dest
    obj = dict(st, version=version, address=where, network=ip)
    lines = status_lines(where, version, st, ip)
    if failed:
        obj["network_error"] = failed
        lines.insert(1, "  network   %s" % failed)
    out.result(obj, lines)
    if failed:
        note(failed)
        return Refused.status
    return 0


# ---------------------------------------------------------- simple commands
def simple(args, out, text, what, timeout=None, lines=None) -> int:
    with open_device(args) as link:
        reply = link.request(text, timeout or args.timeout, what=what)
        decode.check_ok(reply, what)
    out.result({"command": text, "reply": escape(reply)}, lines or ["%s: OK" % what])
    return 0


def resolve_programs(args, link):
    """The tuner channel and (transport, program) pairs of `stream`'s
    PROGRAM arguments: A.B (a virtual channel), TSID:PROGRAM, or PROGRAM
    alone (its transport looked up in the channel list)."""
    pairs, channel, table = [], args.channel, None
    for p in args.programs:
        if ":" in p:
            t, _, n = p.partition(":")
            pairs.append((int_arg(t), int_arg(n)))
            continue
        if table is None:
            table = channel_list(link, args.timeout)
        if "." in p:
            match = [c for c in table if c["virtual"] == p]
        else:
            number = int_arg(p)
            match = [c for c in table if c["program"] == number and
                     (channel is None or c["tuner_channel"] == channel)]
        if not match:
            raise Refused("no program %s in the device's channel list" % p)
        c = match[0]
        if channel is not None and c["tuner_channel"] != channel:
            raise Refused("%s is on tuner channel %d, not %d" % (p, c["tuner_channel"], channel))
        channel = c["tuner_channel"]
        pairs.append((c["transport_id"], c["program"]))
    if channel is None:
        raise Refused("give the tuner channel (--channel N)")
    return channel, pairs


def cmd_stream(args, out) -> int:
    with open_device(args) as link:
        if args.stop:
            text = "UNIT0" if args.slot is None else "UNIT5,%d" % args.slot
            decode.check_ok(link.request(text, args.timeout, what=text), text)
            out.result({"command": text, "stopped": "all" if args.slot is None else args.slot},
                       ["streams stopped" if args.slot is None else
                        "stream %d stopped" % args.slot])
            return 0
        if args.to is None:
            raise Refused("give the destination (--to GROUP:PORT) or --stop")
        channel, pairs = resolve_programs(args, link)
        group, port = args.to
        body = "%s,%d,%x" % (group, port, channel) + "".join(",%x,%x" % p for p in pairs)
        text = "UNIT1," + body if args.slot is None else "UNIT4,%d,%s" % (args.slot, body)
        # The device tunes, waits for the tables and saves the start-up item.
        decode.check_ok(link.request(text, args.timeout, what="UNIT"), "stream")
    progs = ", ".join("%d:%d" % p for p in pairs) or "every program"
    out.result({"command": text, "group": group, "port": port, "channel": channel,
                "programs": [{"transport_id": t, "program": n} for t, n in pairs]},
               ["streaming %s of tuner channel %d to udp://@%s:%d" % (progs, channel, group, port)])
    return 0


def cmd_play(args, out) -> int:
    if args.stop:
        return simple(args, out, "UNIT0", "stop", lines=["playback stopped"])
    if args.source is None or args.program is None:
        raise Refused("give GROUP:PORT and PROGRAM, or --stop")
    group, port = args.source
    text = "UNIT1,%s,%d,0,%x" % (group, port, args.program)
    return simple(args, out, text, "play",
                  lines=["playing program %d of udp://@%s:%d" % (args.program, group, port)])


def languages(args, out, query, kind) -> int:
    with open_device(args) as link:
        try:
            reply = link.request(query, args.timeout, what=query,
                                 accept=lambda d: d.endswith(b"OK\r\n") or d.startswith(b"KO"))
        except NoReply as e:
            raise forwarded(link, e)
        table = decode.parse_languages(reply)
    lines = []
    for p in table:
        items = ", ".join(e["language"] + (" (type %d)" % e["type"] if "type" in e else "")
                          for e in p["entries"]) or "none"
        lines.append("transport %d program %d: %s" % (p["transport_id"], p["program"], items))
    out.result({kind: table}, lines or ["no program"])
    return 0


def lang_field(text: str):
    code, _, kind = text.partition(":")
    if len(code) != 3:
        raise argparse.ArgumentTypeError("a language is three letters (eng, spa:1), not %r" % text)
    return code, int_arg(kind) if kind else 0


def cmd_lang(args, out) -> int:
    if args.list:
        return languages(args, out, "LAN?", "audio")
    if args.primary is None:
        raise Refused("give a language (eng, spa:1) or --list")
    fields = "%s,%x" % args.primary
    if args.secondary:
        fields += ",%s,%x" % args.secondary
    return simple(args, out, "LANG" + fields, "language",
                  lines=["audio language %s" % args.primary[0]])


def cmd_subs(args, out) -> int:
    if args.list:
        return languages(args, out, "SUB?", "captions")
    if args.service is None:
        raise Refused("give a caption service 1..6 or off, or --list")
    service = args.service.lower()
    if service != "off" and (not service.isdigit() or not 1 <= int(service) <= 6):
        raise Refused("caption service %r: 1..6 or off" % args.service)
    return simple(args, out, "SUBS" + ("OFF" if service == "off" else service), "captions",
                  lines=["captions %s" % service])


def cmd_url(args, out) -> int:
    if args.key is not None:
        if not 0 <= args.key <= 65534:
            raise Refused("a browser key is 0..65534")
        return simple(args, out, "URLkey%d" % args.key, "browser key")
    fields = [args.url or ""]
    for opt, count in ((args.window, 4), (args.alpha, 2)):
        if opt is None:
            fields += [""] * count
            continue
        parts = opt.split(",")
        if len(parts) != count or any(p and not p.lstrip("-").isdigit() for p in parts):
            raise Refused("%r: %d comma-separated numbers" % (opt, count))
        fields += parts
    text = "URL" + ",".join(fields).rstrip(",")
    if len(text) > 1000:
        raise Refused("the URL is too long for one command")
    return simple(args, out, text, "browser", lines=["browser: %s" % (args.url or "(same page)")])


def wait_back(link: Link, timeout: float) -> str:
    """Asks VERS until the device answers again; returns its version."""
    deadline = time.monotonic() + timeout
    while True:
        link.drain()
        link.send("VERS")
        reply = link.next(min(deadline, time.monotonic() + 1.0),
                          accept=lambda d: d.startswith(b"VERS"))
        if reply is not None:
            return decode.parse_vers(reply)
        if time.monotonic() >= deadline:
            raise NoReply("the device did not answer VERS again within %gs" % timeout)


def cmd_reset(args, out) -> int:
    with open_device(args) as link:
        decode.check_ok(link.request("RESET", args.timeout, what="RESET"), "reset")
        version = None
        if args.wait:
            # Give the device time to go down before asking whether it is back.
            time.sleep(min(2.0, args.wait))
            version = wait_back(link, args.wait)
    out.result({"reset": True, "version": version},
               ["reset requested"] + (["device back, version %s" % version] if version else []))
    return 0


# ----------------------------------------------------------------- upgrade
def cmd_upgrade(args, out) -> int:
    try:
        with open(args.file, "rb") as f:
            archive = f.read()
    except OSError as e:
        raise LocalError("cannot read %s: %s" % (args.file, e.strerror))
    shown = progress.Bar(sys.stderr, every=2.0)

    def report(sent, total, why=None):
        if why:
            shown.end()
            note(why)
        if not args.quiet:
            shown.show("%s %d of %d bytes" % (progress.bar(sent / total if total else 1), sent,
                                             total), force=sent == total)

    with open_device(args) as link:
        job = upgrade_mod.Upgrade(link, archive, reply_timeout=args.chunk_timeout,
                                  announce_timeout=args.timeout, restarts=args.restarts,
                                  progress=report)
        try:
            result = job.run()
        finally:
            shown.end()
        state = job.wait_restart(args.back_timeout)
        version = wait_back(link, args.back_timeout)
    result.update(state=state, version=version)
    out.result(result, ["sent %d bytes in %d chunks (%d restart(s), %d late reply(ies))"
                        % (result["bytes"], result["chunks"], result["restarts"],
                           result["late_replies"]),
                        "the device burnt the archive and restarted; it answers VERS %s"
                        % version if state == "restarted" else
                        "the device is still burning the archive; it answers VERS %s" % version])
    return 0


# ----------------------------------------------------------------- monitor
def describe_event(ev) -> str:
    if ev["kind"] == "error":
        return "error   %s" % ev["text"]
    if ev["kind"] == "log":
        return "log     %s" % ev["text"]
    if ev["kind"] == "key":
        return "key     %s (code %d%s)" % (ev["key"], ev["code"], ", repeat" if ev["repeat"] else "")
    if ev["kind"] == "serial":
        b = ev["byte"]
        return "serial  0x%02x %s" % (b, repr(chr(b)) if 32 <= b < 127 else "")
    return "other   %s" % ev["data"]


def cmd_monitor(args, out) -> int:
    with open_device(args) as link:
        decode.check_ok(link.request("CALLBACK1", args.timeout, what="CALLBACK1"), "CALLBACK1")
        note("monitoring %s:%d (errors, logs, IR keys, serial bytes); Ctrl-C ends" % link.dest)
        seen = 0
        end = None if args.duration is None else time.monotonic() + args.duration
        try:
            while args.count is None or seen < args.count:
                deadline = time.monotonic() + 1.0 if end is None else end
                data = link.next(deadline, accept=lambda d: d != decode.OK)
                if data is None:
                    if end is not None and time.monotonic() >= end:
                        break
                    continue
                ev = decode.parse_event(data)
                seen += 1
                out.event(ev, [describe_event(ev)])
        except KeyboardInterrupt:
            pass
        finally:
            if not args.keep:
                link.send("CALLBACK0")
    if args.count is not None and seen < args.count:
        raise NoReply("%d of %d events within %gs" % (seen, args.count, args.duration))
    return 0


# ------------------------------------------------------------------ parser
def build_parser(doc: str = "") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vyxctl", description=doc, epilog=EXIT_STATUSES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True, metavar="SUBCOMMAND")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="machine-readable output (JSON)")

    def command(name, func, helptext, timeout=5.0, device=True, sport=True):
        c = sub.add_parser(name, parents=[common], help=helptext, description=helptext,
                           epilog=EXIT_STATUSES,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        if device:
            c.add_argument("device", metavar="DEVICE",
                           help="HOST[:PORT] (port 5000 transmitter, 2008 receiver; found by "
                                "asking VERS when left out); tx / rx: $VYX_TX / $VYX_RX")
        c.add_argument("--timeout", type=float, default=timeout,
                       help="seconds to wait for a reply (default %(default)s)")
        if sport:
            c.add_argument("--sport", type=int, default=None,
                           help="send from this port (default %d; 0: any)" % CONTROL_PORT)
        c.set_defaults(func=func)
        return c

    c = command("discover", cmd_discover, "list the devices that announce themselves",
                timeout=4.0, device=False, sport=False)
    c.add_argument("--watch", action="store_true", help="keep the list live until Ctrl-C")
    c.add_argument("--count", type=int, default=0, help="stop once this many devices are found")
    c.add_argument("--interval", type=float, default=30.0,
                   help="--watch: seconds between requests to announce (default %(default)s)")
    c.add_argument("--gone", type=float, default=100.0,
                   help="--watch: a device silent this long is gone (default %(default)s)")
    c.add_argument("--no-poke", action="store_true",
                   help="only listen; do not ask quiet devices to announce (port 52429)")

    command("status", cmd_status, "a device's state: streams, signal, tuner, network, CPU")

    c = command("scan", cmd_scan, "blind scan with a progress bar (Ctrl-C stops it)",
                timeout=10.0)
    c.add_argument("--mode", choices=sorted(progress.MODES), help="set the tuner mode first")
    c.add_argument("--channel", type=int, help="scan only this tuner channel")
    c.add_argument("--silence", type=float, default=60.0,
                   help="give up when the device says nothing this long (default %(default)s)")
    c.add_argument("--quiet", action="store_true", help="no progress bar")

    c = command("channels", cmd_channels, "the channel list (SCAL) as a table", timeout=10.0)
    c.add_argument("--m3u", type=group_default_port, metavar="GROUPBASE[:PORT]",
                   help="write a playlist: the n-th channel on GROUPBASE + n (port 1234)")
    c.add_argument("-o", "--output", default="channels.m3u", help="the playlist file")

    c = command("guide", cmd_guide, "now/next (or --hours) of every listed program", timeout=10.0)
    c.add_argument("programs", nargs="*", metavar="PROGRAM", help="only these (13.1 or TSID:PROG)")
    c.add_argument("--hours", type=int, default=0, help="events of the next HOURS, not now/next")
    c.add_argument("--xmltv", metavar="FILE", help="write the guide as an XMLTV document")
    c.add_argument("--all", action="store_true",
                   help="ask for every listed program, not only the tuned channel's")

    c = command("stream", cmd_stream, "transmitter: stream programs to a multicast group",
                timeout=60.0)
    c.add_argument("programs", nargs="*", metavar="PROGRAM",
                   help="13.1, TSID:PROGRAM or PROGRAM (none: the whole multiplex)")
    c.add_argument("--to", type=group_arg, metavar="GROUP:PORT", help="destination")
    c.add_argument("--channel", type=int, help="tuner channel (found from 13.1 otherwise)")
    c.add_argument("--slot", type=int, choices=range(8), help="stream slot 0..7 (others stay)")
    c.add_argument("--stop", action="store_true", help="stop all streams (or --slot's)")

    c = command("play", cmd_play, "receiver: play a program of a multicast stream", timeout=30.0)
    c.add_argument("source", nargs="?", type=group_arg, metavar="GROUP:PORT")
    c.add_argument("program", nargs="?", type=int_arg, metavar="PROGRAM")
    c.add_argument("--stop", action="store_true", help="stop playing")

    c = command("lang", cmd_lang, "audio language (LANG) or the list of them (--list)",
                timeout=30.0)
    c.add_argument("primary", nargs="?", type=lang_field, metavar="LANG[:TYPE]")
    c.add_argument("secondary", nargs="?", type=lang_field, metavar="LANG[:TYPE]")
    c.add_argument("--list", action="store_true", help="languages of the programs (LAN?)")

    c = command("subs", cmd_subs, "captions: service 1..6 or off (SUBS), or --list", timeout=10.0)
    c.add_argument("service", nargs="?", metavar="N|off")
    c.add_argument("--list", action="store_true", help="caption services (SUB?)")

    c = command("url", cmd_url, "receiver: show a page in the on-screen browser")
    c.add_argument("url", nargs="?", help="the page (blank: the blank page; left out: the same)")
    c.add_argument("--window", metavar="X,Y,W,H", help="window in pixels of 1280x768")
    c.add_argument("--alpha", metavar="BROWSER,VIDEO", help="layer alphas 0..255")
    c.add_argument("--key", type=int, help="send a key code to the browser instead")

    c = command("reset", cmd_reset, "restart the device")
    c.add_argument("--wait", type=float, default=0.0,
                   help="then wait up to this many seconds until it answers again")

    c = command("upgrade", cmd_upgrade, "send an upgrade archive and start its burning",
                timeout=90.0)
    c.add_argument("file", metavar="FILE")
    c.add_argument("--chunk-timeout", type=float, default=2.0,
                   help="seconds to wait for each chunk's OK (default %(default)s)")
    c.add_argument("--restarts", type=int, default=3,
                   help="start over at most this many times after lost replies")
    c.add_argument("--back-timeout", type=float, default=300.0,
                   help="seconds to wait for the device to burn, restart and answer VERS")
    c.add_argument("--quiet", action="store_true", help="no progress bar")

    register_allow(command)

    c = command("monitor", cmd_monitor, "print errors, logs, IR keys and serial bytes (CALLBACK1)")
    c.add_argument("--count", type=int, help="end after this many events")
    c.add_argument("--duration", type=float, help="end after this many seconds")
    c.add_argument("--keep", action="store_true", help="leave forwarding on at the end")

    headend_cli.add_lineup(sub, common, EXIT_STATUSES, argparse.RawDescriptionHelpFormatter)
    headend_cli.add_fleet(sub, common, EXIT_STATUSES, argparse.RawDescriptionHelpFormatter,
                          group_arg, int_arg)

    # 30 s by default: a UNIT takes about 12 s.
    c = command("send", cmd_send, "send one command datagram, print the replies escaped",
                timeout=30.0, device=False)
    c.add_argument("addr", type=hostport_arg, metavar="HOST:PORT")
    c.add_argument("text", metavar="TEXT", help="C escapes \\r \\n \\t \\0 \\\\ \\xHH decoded")
    c.add_argument("--idle", type=float, default=0.3, help="wait for more replies after one")
    c.add_argument("--expect-none", action="store_true", help="succeed only if no reply")

    c = command("beacon", cmd_beacon, "print the first discovery beacon", timeout=90.0,
                device=False, sport=False)
    c.add_argument("--from", dest="source", default=None, help="only from this address")
    c.add_argument("--poke", action="store_true", help="send restart requests (port 52429)")

    c = command("record", cmd_record, "record a multicast stream, print a JSON summary",
                device=False, sport=False)
    c.add_argument("addr", type=group_arg, metavar="GROUP:PORT")
    c.add_argument("seconds", type=float)
    c.add_argument("file")
    c.add_argument("--idle", type=float, default=0.0,
                   help="end this many seconds after the last datagram (once one came)")

    c = command("listen", cmd_listen, "print datagrams arriving on a port", timeout=10.0,
                device=False, sport=False)
    c.add_argument("port", type=int)
    c.add_argument("--count", type=int, required=True)

    c = command("ready", cmd_ready, "wait until devices answer VERS", timeout=30.0,
                device=False, sport=False)
    c.add_argument("addrs", type=hostport_arg, nargs="+", metavar="HOST:PORT")

    console.add_parser(command)
    return p


def main(doc: str = None, argv=None) -> int:
    if doc is None:
        from . import __doc__ as doc
    args = build_parser(doc).parse_args(argv)
    out = Out(args.json)
    try:
        return args.func(args, out)
    except KeyboardInterrupt:
        return 130
    except CtlError as e:
        note(str(e))
        return e.status
    except BrokenPipeError:
        return 0
    except OSError as e:
        note(str(e))
        return LocalError.status
    except Exception as e:  # a fault of this tool: still one line, unless asked
        if os.environ.get("VYXCTL_DEBUG"):
            raise
        note("internal error (%s: %s); VYXCTL_DEBUG=1 shows where" % (type(e).__name__, e))
        return 70

