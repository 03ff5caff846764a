"""A channel lineup: the file, finding each channel in the transmitters'
channel lists, and placing the channels on transmitters.

Pure functions on plain data (no sockets), so that the rules can be tested
on their own.  A transmitter has one tuner: every stream it sends comes
from the one RF channel it is tuned to, at most 8 streams, and one audio
language filter for all of them.
"""

import json
import re

from .wire import LocalError, parse_group

MAX_STREAMS = 8
# Slot 0 last: starting or stopping any other slot (UNIT4/UNIT5) also stops
# stream 0, so it is only used when a transmitter needs all eight.
SLOT_ORDER = [1, 2, 3, 4, 5, 6, 7, 0]


class LineupError(LocalError):
    """The lineup file is missing, not JSON, or not a lineup."""


def _fail(path, text):
    raise LineupError("%s: %s" % (path, text))


def load_lineup(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except OSError as e:
        _fail(path, e.strerror)
    except ValueError as e:
        _fail(path, "not JSON (%s)" % e)
    return check_lineup(doc, path)


def check_lineup(doc, path="lineup") -> dict:
    """The lineup with every channel normalised: ref (what names it), kind
    (virtual, name or pair), group, port, lang, tuner; errors name the
    entry."""
    if not isinstance(doc, dict) or not isinstance(doc.get("channels"), list):
        _fail(path, 'a lineup is an object with a "channels" list')
    txs = doc.get("transmitters")
    if txs is not None and (not isinstance(txs, list) or
                            not all(isinstance(t, str) and t for t in txs)):
        _fail(path, '"transmitters" is a list of DEVICE texts')
    out, seen = [], {}
    for i, entry in enumerate(doc["channels"], 1):
        where = "channel %d" % i
        if not isinstance(entry, dict):
            _fail(path, "%s: an object" % where)
        unknown = set(entry) - {"channel", "to", "lang", "tuner", "name"}
        if unknown:
            _fail(path, "%s: unknown field(s) %s" % (where, ", ".join(sorted(unknown))))
        ref = entry.get("channel")
        if isinstance(ref, (int, float)) and not isinstance(ref, bool):
            ref = str(ref)
        if not isinstance(ref, str) or not ref.strip():
            _fail(path, '%s: "channel" (13.1, a name, or TSID:PROGRAM) is missing' % where)
        ref = ref.strip()
        try:
            group, port = parse_group(str(entry.get("to", "")))
        except ValueError as e:
            _fail(path, '%s (%s): "to" GROUP:PORT: %s' % (where, ref, e))
        if (group, port) in seen:
            _fail(path, "%s (%s): %s:%d is already the group of channel %d"
                  % (where, ref, group, port, seen[(group, port)]))
        seen[(group, port)] = i
        lang = entry.get("lang")
        if lang is not None and (not isinstance(lang, str) or
                                 not re.fullmatch(r"[A-Za-z]{3}", lang)):
            _fail(path, '%s (%s): "lang" is a 3-letter language code' % (where, ref))
        tuner = entry.get("tuner")
        if re.fullmatch(r"\d+\.\d+", ref):
            kind = "virtual"
        elif re.fullmatch(r"(0x[0-9a-fA-F]+|\d+):(0x[0-9a-fA-F]+|\d+)", ref):
            kind = "pair"
            if not isinstance(tuner, int) or isinstance(tuner, bool) or not 1 <= tuner <= 158:
                _fail(path, '%s (%s): TSID:PROGRAM needs "tuner" (its tuner channel 1..158)'
                      % (where, ref))
        else:
            kind = "name"
        out.append({"index": i, "ref": ref, "kind": kind, "group": group, "port": port,
                    "lang": lang.lower() if lang else None, "tuner": tuner,
                    "name": entry.get("name")})
    return {"channels": out, "transmitters": txs}


def matches(ch: dict, entry: dict) -> bool:
    """Whether a channel-list entry (decode.parse_scal_line) is this
    lineup channel."""
    if ch["kind"] == "virtual":
        return entry["virtual"] == ch["ref"]
    if ch["kind"] == "pair":
        t, _, p = ch["ref"].partition(":")
        return (entry["transport_id"], entry["program"], entry["tuner_channel"]) == \
            (int(t, 0), int(p, 0), ch["tuner"])
    return (entry["name"] or "").strip().lower() == ch["ref"].lower()


def find_channels(lineup: dict, lists: dict) -> dict:
    """{index: [(transmitter, entry)]}: where each lineup channel is seen,
    strongest signal first.  lists: {transmitter: channel list}."""
    found = {}
    for ch in lineup["channels"]:
        hits = [(tx, e) for tx, table in lists.items() for e in table if matches(ch, e)]
        hits.sort(key=lambda h: -h[1]["strength"])
        found[ch["index"]] = hits
    return found


def mux_key(entry: dict):
    """One RF multiplex: its tuner channel and transport stream id."""
    return (entry["tuner_channel"], entry["transport_id"])


def place(lineup: dict, lists: dict, current=None) -> dict:
    """Places every lineup channel on a transmitter.

    lists: {transmitter: channel list}; current: {transmitter: {"channel":
    tuned channel, "streams": STATUS streams}} (optional), so that a
    multiplex stays on the transmitter already sending it and a running
    stream keeps its slot.  Returns {"transmitters": {tx: {"tuner": N,
    "transport_id": T, "lang": L, "streams": [placed channel...]}},
    "unplaced": [{"channel": ch, "reason": text}]}; a placed channel is the
    lineup channel with "transmitter", "slot" and "entry" (the list entry).
    """
    current = current or {}
    found = find_channels(lineup, lists)
    unplaced = []
    # The multiplexes wanted, in lineup order, with their channels.
    muxes, order = {}, []
    for ch in lineup["channels"]:
        hits = found[ch["index"]]
        if not hits:
            unplaced.append({"channel": ch, "reason": "not in any transmitter's channel list"})
            continue
        entry = hits[0][1]
        key = mux_key(entry)
        if key not in muxes:
            muxes[key] = {"channels": [], "seen_by": []}
            order.append(key)
        muxes[key]["channels"].append((ch, entry))
        for tx, e in hits:
            if mux_key(e) == key and tx not in muxes[key]["seen_by"]:
                muxes[key]["seen_by"].append(tx)
    assignment = assign_transmitters(order, muxes, lists, current)
    placed = {}
    for key in order:
        tx = assignment.get(key)
        chans = muxes[key]["channels"]
        if tx is None:
            who = ", ".join(muxes[key]["seen_by"])
            for ch, _ in chans:
                unplaced.append({"channel": ch, "reason":
                                 "tuner channel %d (TSID %d) is received by %s, each already "
                                 "tuned to another RF channel of this lineup"
                                 % (key[0], key[1], who)})
            continue
        langs = sorted({ch["lang"] for ch, _ in chans if ch["lang"]})
        keep, overflow = [], []
        for ch, entry in chans:
            (keep if len(keep) < MAX_STREAMS else overflow).append((ch, entry))
        for ch, _ in overflow:
            unplaced.append({"channel": ch, "reason": "tuner channel %d already fills %s's %d "
                             "streams" % (key[0], tx, MAX_STREAMS)})
        if len(langs) > 1:
            for ch, _ in keep:
                if ch["lang"]:
                    unplaced.append({"channel": ch, "reason": "tuner channel %d's channels ask for "
                                     "different audio languages (%s); a transmitter filters one"
                                     % (key[0], ", ".join(langs))})
            keep = [(ch, e) for ch, e in keep if not ch["lang"]]
            langs = []
        streams = assign_slots(keep, current.get(tx, {}).get("streams", []))
        placed[tx] = {"tuner": key[0], "transport_id": key[1],
                      "lang": langs[0] if langs else None,
                      "streams": [dict(ch, transmitter=tx, slot=slot, entry=entry)
                                  for slot, ch, entry in streams]}
    unplaced.sort(key=lambda u: u["channel"]["index"])
    return {"transmitters": placed, "unplaced": unplaced}


def assign_transmitters(order, muxes, lists, current) -> dict:
    """{mux: transmitter}, one multiplex per transmitter: a matching found
    by augmenting paths, multiplexes in lineup order, each trying first the
    transmitter already tuned to it."""
    def candidates(key):
        seen = muxes[key]["seen_by"]
        tuned = [tx for tx in seen if current.get(tx, {}).get("channel") == key[0]]
        return tuned + [tx for tx in seen if tx not in tuned]

    owner = {}   # transmitter -> mux

    def augment(key, visited):
        for tx in candidates(key):
            if tx in visited:
                continue
            visited.add(tx)
            if tx not in owner or augment(owner[tx], visited):
                owner[tx] = key
                return True
        return False

    for key in order:
        augment(key, set())
    return {key: tx for tx, key in owner.items()}


def assign_slots(chans, running) -> list:
    """[(slot, channel, entry)]: a channel already running with the same
    group, port and program keeps its slot; the others take free slots in
    SLOT_ORDER."""
    out, used = [], set()
    rest = []
    for ch, entry in chans:
        slot = next((s["id"] for s in running
                     if (s["group"], s["port"], s["programs"]) ==
                     (ch["group"], ch["port"], [entry["program"]]) and s["id"] not in used), None)
        if slot is None:
            rest.append((ch, entry))
        else:
            used.add(slot)
            out.append((slot, ch, entry))
    free = [s for s in SLOT_ORDER if s not in used]
    # Slot 0 only when the transmitter needs all eight slots.
    if len(out) + len(rest) < MAX_STREAMS:
        free = [s for s in free if s != 0]
    for (ch, entry), slot in zip(rest, free):
        out.append((slot, ch, entry))
    out.sort(key=lambda x: x[1]["index"])
    return out


def unit_text(stream: dict, tuner: int) -> str:
    """The stream's UNIT4 body: slot, group, port, tuner channel and the
    program's transport/program pair (hex)."""
    e = stream["entry"]
    return "UNIT4,%d,%s,%d,%x,%x,%x" % (stream["slot"], stream["group"], stream["port"], tuner,
                                        e["transport_id"], e["program"])


def actions(tx_plan: dict, state: dict) -> list:
    """What one transmitter must be sent to reach its plan, from its state
    ({"channel": tuned channel, "streams": STATUS streams}):
    [("stop-all",), ("lang", L), ("stop", slot), ("start", stream)], in
    order.  Nothing when every stream already runs as planned."""
    running = {s["id"]: s for s in state.get("streams", [])}
    wanted = {s["slot"]: s for s in tx_plan["streams"]}
    if not wanted:
        return [("stop-all",)] if running else []
    retune = state.get("channel") != tx_plan["tuner"]
    if retune:
        starts = [wanted[s] for s in SLOT_ORDER if s in wanted]
        acts = [("stop-all",)] if running else []
        if tx_plan["lang"]:
            acts.append(("lang", tx_plan["lang"]))
        return acts + [("start", s) for s in starts]

    def same(slot):
        s, r = wanted[slot], running.get(slot)
        return r is not None and r["active"] and (r["group"], r["port"], r["programs"]) == \
            (s["group"], s["port"], [s["entry"]["program"]])
    stops = [slot for slot in running if slot not in wanted]
    starts = [slot for slot in SLOT_ORDER if slot in wanted and not same(slot)]
    # UNIT4/UNIT5 on another slot stop stream 0 too: start it again last.
    if 0 in wanted and 0 not in starts and any(s != 0 for s in stops + starts):
        starts.append(0)
    if 0 in stops and len(stops) > 1:
        stops.remove(0)
        stops.append(0)
    acts = []
    if starts and tx_plan["lang"]:
        acts.append(("lang", tx_plan["lang"]))
    acts += [("stop", s) for s in stops]
    acts += [("start", wanted[s]) for s in starts]
    return acts


def summary_lines(plan: dict, acts=None) -> list:
    """The plan as text: each transmitter's tuner channel and streams, then
    the channels that could not be placed with the reason."""
    lines = []
    acts = acts or {}
    for tx in sorted(plan["transmitters"]):
        p = plan["transmitters"][tx]
        starting = {a[1]["slot"] for a in acts.get(tx, []) if a[0] == "start"}
        lines.append("%s: tuner channel %d (TSID %d)%s, %d stream(s)"
                     % (tx, p["tuner"], p["transport_id"],
                        ", audio %s" % p["lang"] if p["lang"] else "", len(p["streams"])))
        for s in p["streams"]:
            e = s["entry"]
            state = "" if tx not in acts else ("  start" if s["slot"] in starting else
                                               "  running, unchanged")
            lines.append("  slot %d  %-6s %-14s program %-3d -> udp://@%s:%d%s"
                         % (s["slot"], e["virtual"] or s["ref"], s["name"] or e["name"] or "-",
                            e["program"],
                            s["group"], s["port"], state))
    for u in plan["unplaced"]:
        lines.append("not placed: %s (%s): %s" % (u["channel"]["ref"],
                                                   "%s:%d" % (u["channel"]["group"],
                                                              u["channel"]["port"]),
                                                   u["reason"]))
    return lines


def plan_json(plan: dict) -> dict:
    return {"transmitters": {tx: dict(p, streams=[{
        "index": s["index"], "channel": s["ref"], "slot": s["slot"], "group": s["group"],
        "port": s["port"], "lang": s["lang"], "virtual": s["entry"]["virtual"],
        "name": s["entry"]["name"], "transport_id": s["entry"]["transport_id"],
        "program": s["entry"]["program"]} for s in p["streams"]])
        for tx, p in plan["transmitters"].items()},
        "unplaced": [{"index": u["channel"]["index"], "channel": u["channel"]["ref"],
                      "reason": u["reason"]} for u in plan["unplaced"]]}

