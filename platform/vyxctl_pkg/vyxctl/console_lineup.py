"""The channel lineup as the console handles it: the file (checked before it
is saved), its plan over the transmitters' channel lists, its application
with UNIT4 per stream slot, and each channel's health measured on this host.

The file:  {"channels": [{"channel": "20.1", "to": "239.1.1.1:1234",
"lang": "eng"}, ...]}; "channel" is a virtual channel number, a name, or
TSID:PROGRAM with "tuner": N; "lang" is optional."""

import json
import os
import re
import select
import tempfile
import threading
import time

from .export import channel_id, label, write_xmltv
from .wire import join_group, parse_group

# UNIT4 stops stream 0 whenever it starts another slot, so slot 0 is left
# out and a transmitter carries at most seven lineup streams.
SLOTS = range(1, 8)
TS_PACKET = 188


class LineupError(ValueError):
    """A lineup file that cannot be used, with the reason."""


def parse_lineup(text: str) -> list:
    """The lineup's channels, checked; raises LineupError."""
    try:
        doc = json.loads(text)
    except ValueError as e:
        raise LineupError("not JSON: %s" % e)
    items = doc.get("channels") if isinstance(doc, dict) else doc
    if not isinstance(items, list):
        raise LineupError('expected {"channels": [...]}')
    out, groups = [], {}
    for n, item in enumerate(items, 1):
        if not isinstance(item, dict):
            raise LineupError("channel %d: expected an object" % n)
        name = item.get("channel")
        if not isinstance(name, str) or not name.strip():
            raise LineupError('channel %d: "channel" (13.1, a name or TSID:PROGRAM) is missing' % n)
        try:
            group, port = parse_group(str(item.get("to", "")))
        except ValueError as e:
            raise LineupError('channel %d (%s): "to": %s' % (n, name, e))
        if (group, port) in groups:
            raise LineupError("channel %d (%s): %s:%d is already channel %d's"
                              % (n, name, group, port, groups[(group, port)]))
        groups[(group, port)] = n
        lang = item.get("lang")
        if lang is not None and not (isinstance(lang, str) and re.fullmatch(r"[a-z]{3}", lang)):
            raise LineupError('channel %d (%s): "lang" is three lower-case letters' % (n, name))
        tuner = item.get("tuner")
        if tuner is not None and not (isinstance(tuner, int) and 1 <= tuner <= 158):
            raise LineupError('channel %d (%s): "tuner" is a tuner channel 1..158' % (n, name))
        out.append({"index": n, "channel": name.strip(), "group": group, "port": port,
                    "lang": lang, "tuner": tuner})
    return out


def matches(entry, ch) -> bool:
    name = entry["channel"]
    if ":" in name:
        tsid, _, prog = name.partition(":")
        try:
            pair = (int(tsid, 0), int(prog, 0))
        except ValueError:
            return False
        return (pair == (ch["transport_id"], ch["program"]) and
                entry["tuner"] in (None, ch["tuner_channel"]))
    return name == ch["virtual"] or name.lower() == (ch["name"] or "").lower()


def plan(entries, lists) -> dict:
    """lists: {transmitter key: channel list}.  Each entry goes to a
    transmitter that receives its tuner channel; a transmitter carries one
    tuner channel and at most len(SLOTS) streams."""
    tuned, used = {}, {key: 0 for key in lists}
    placed, unplaced = [], []
    for e in entries:
        found = [(key, ch) for key, table in lists.items() for ch in table if matches(e, ch)]
        if not found:
            unplaced.append(dict(e, reason="in no transmitter's channel list"))
            continue
        spot = None
        for key, ch in found:       # a transmitter already on that tuner channel first
            if tuned.get(key) == ch["tuner_channel"] and used[key] < len(SLOTS):
                spot = (key, ch)
                break
        if spot is None:
            spot = next(((key, ch) for key, ch in found if key not in tuned), None)
        if spot is None:
            rf = found[0][1]["tuner_channel"]
            full = any(tuned.get(key) == ch["tuner_channel"] for key, ch in found)
            unplaced.append(dict(e, reason="the transmitters receiving tuner channel %d are %s"
                                 % (rf, "full (%d streams)" % len(SLOTS) if full
                                        else "busy with other tuner channels")))
            continue
        key, ch = spot
        tuned[key] = ch["tuner_channel"]
        slot = SLOTS[used[key]]
        used[key] += 1
        placed.append(dict(e, transmitter=key, slot=slot, source=ch, label=label(ch)))
    return {"placed": placed, "unplaced": unplaced}


def unit4(p) -> str:
    ch = p["source"]
    return "UNIT4,%d,%s,%d,%x,%x,%x" % (p["slot"], p["group"], p["port"], ch["tuner_channel"],
                                       ch["transport_id"], ch["program"])


def already_running(p, status) -> bool:
    """The slot already streams this program to this group: leave it be."""
    for s in (status or {}).get("streams", []):
        if s["id"] == p["slot"]:
            return (s["active"] and s["group"] == p["group"] and s["port"] == p["port"]
                    and s["programs"] == [p["source"]["program"]])
    return False


# ------------------------------------------------------------------ health
class StreamCounter:
    """Datagrams, TS packets, continuity errors and the programs a PAT names,
    for one group."""

    def __init__(self):
        self.datagrams = self.packets = self.cc_errors = 0
        self.last_cc = {}
        self.pat_programs = None

    def feed(self, data: bytes):
        self.datagrams += 1
        for off in range(0, len(data) - TS_PACKET + 1, TS_PACKET):
            self.packet(data[off:off + TS_PACKET])

    def packet(self, pkt: bytes):
        if pkt[0] != 0x47:
            self.cc_errors += 1
            return
        self.packets += 1
        pid = (pkt[1] & 0x1F) << 8 | pkt[2]
        if pid == 0x1FFF:
            return
        afc, cc = (pkt[3] >> 4) & 3, pkt[3] & 0x0F
        if afc & 1:                 # only packets with payload count up
            last = self.last_cc.get(pid)
            if last is not None and cc != (last + 1) & 0x0F and cc != last:
                self.cc_errors += 1
            self.last_cc[pid] = cc
        if pid == 0 and pkt[1] & 0x40 and afc == 1:
            self.pat(pkt[4:])

    def pat(self, payload: bytes):
        start = 1 + payload[0]
        sec = payload[start:]
        if len(sec) < 12 or sec[0] != 0:
            return
        length = min((sec[1] & 0x0F) << 8 | sec[2], len(sec) - 3)
        body = sec[8:3 + length - 4]
        self.pat_programs = sorted({body[i] << 8 | body[i + 1] for i in range(0, len(body) - 3, 4)
                                    if body[i] << 8 | body[i + 1]})


def measure(targets, seconds: float = 1.5) -> dict:
    """{(group, port): StreamCounter} after listening `seconds` to each."""
    socks, counters = {}, {}
    try:
        for t in targets:
            s = join_group(*t)
            socks[s] = t
            counters[t] = StreamCounter()
        deadline = time.monotonic() + seconds
        while socks:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select(list(socks), [], [], left)
            for s in ready:
                counters[socks[s]].feed(s.recv(65535))
    finally:
        for s in socks:
            s.close()
    return counters


def health(placed, signals, seconds: float = 1.5) -> list:
    counters = measure({(p["group"], p["port"]) for p in placed}, seconds)
    rows = []
    for p in placed:
        c = counters[(p["group"], p["port"])]
        program = p["source"]["program"]
        pat_ok = c.pat_programs is not None and program in c.pat_programs
        rows.append({"index": p["index"], "channel": p["channel"], "label": p["label"],
                     "to": "%s:%d" % (p["group"], p["port"]), "transmitter": p["transmitter"],
                     "rate": round(c.datagrams / seconds, 1), "cc_errors": c.cc_errors,
                     "pat": pat_ok, "signal": signals.get(p["transmitter"]),
                     "healthy": c.datagrams > 0 and c.cc_errors == 0 and pat_ok})
    return rows


# ----------------------------------------------------------------- exports
def m3u(placed) -> str:
    lines = ["#EXTM3U"]
    for p in placed:
        ch = p["source"]
        lines.append('#EXTINF:-1 tvg-id="%s" tvg-name="%s" tvg-chno="%s",%s'
                     % (channel_id(ch), (ch["name"] or "").replace('"', "'"),
                        ch["virtual"] or p["index"], p["label"].replace(",", " ")))
        lines.append("udp://@%s:%d" % (p["group"], p["port"]))
    return "\n".join(lines) + "\n"


def xmltv(guide) -> str:
    """guide: [(channel, [events])]: the same document as `vyxctl guide --xmltv`."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "guide.xml")
        write_xmltv(path, guide)
        with open(path, encoding="utf-8") as f:
            return f.read()


class LineupFile:
    """The lineup file on disk, read and written whole."""

    def __init__(self, path: str):
        self.path = path
        self.mutex = threading.Lock()

    def read(self) -> str:
        try:
            with open(self.path, encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return '{"channels": []}\n'

    def save(self, text: str) -> list:
        entries = parse_lineup(text)      # nothing broken reaches the disk
        with self.mutex:
            tmp = self.path + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                f.write(text if text.endswith("\n") else text + "\n")
            os.replace(tmp, self.path)
        return entries
