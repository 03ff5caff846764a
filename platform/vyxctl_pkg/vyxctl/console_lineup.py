"""The channel lineup as the console handles it, on vyxctl's own lineup
code (the same file checks, placement, actions and stream verification as
`vyxctl lineup`): the file (checked before it is saved), the plan as the
pages show it, each channel's health, and the exports."""

import json
import os
import tempfile
import threading

from . import placement, tscheck
from .export import channel_ids, label, write_xmltv


class LineupError(ValueError):
    """A lineup file that cannot be used, with the reason."""


def parse_lineup(text: str) -> dict:
    """The lineup, checked as `vyxctl lineup` checks its file."""
    try:
        doc = json.loads(text)
    except ValueError as e:
        raise LineupError("not JSON: %s" % e)
    try:
        return placement.check_lineup(doc, "the lineup")
    except placement.LineupError as e:
        raise LineupError(str(e))


def flatten(plan: dict) -> dict:
    """The plan as the pages read it: every placed channel (with its
    transmitter, slot and channel-list entry as "source"), in lineup order."""
    placed = [dict(s, channel=s["ref"], source=s["entry"], label=label(s["entry"]))
              for p in plan["transmitters"].values() for s in p["streams"]]
    placed.sort(key=lambda s: s["index"])
    return {"placed": placed, "unplaced": placement.plan_json(plan)["unplaced"],
            "transmitters": {tx: {"tuner": p["tuner"], "lang": p["lang"]}
                             for tx, p in plan["transmitters"].items()}}


def health(placed, signals, seconds: float = 1.5) -> list:
    """Each placed channel's group recorded here for `seconds` and checked
    (PAT naming the program, its PMT and elementary PIDs, continuity)."""
    results = tscheck.check_groups([(p["group"], p["port"], p["source"]["program"])
                                    for p in placed], seconds)
    rows = []
    for p, r in zip(placed, results):
        rows.append({"index": p["index"], "channel": p["channel"], "label": p["label"],
                     "to": "%s:%d" % (p["group"], p["port"]), "transmitter": p["transmitter"],
                     "rate": r["datagrams_per_s"], "cc_errors": r["continuity_errors"],
                     "signal": signals.get(p["transmitter"]), "healthy": r["ok"],
                     "reasons": r["reasons"]})
    return rows


# ----------------------------------------------------------------- exports
def m3u(placed) -> str:
    lines = ["#EXTM3U"]
    ids = channel_ids([p["source"] for p in placed])     # as xmltv(guide_of(placed, ...))
    for p, cid in zip(placed, ids):
        ch = p["source"]
        name = p.get("name") or ch["name"] or p["channel"]
        chno = ch["virtual"] or str(p["index"])
        lines.append('#EXTINF:-1 tvg-id="%s" tvg-name="%s" tvg-chno="%s",%s'
                     % (cid, name.replace('"', "'"), chno,
                        ("%s %s" % (chno, name)).replace(",", " ")))
        lines.append("udp://@%s:%d" % (p["group"], p["port"]))
    return "\n".join(lines) + "\n"


def guide_of(placed, transmitters) -> list:
    """[(channel, [events])] of every placed channel in lineup order (the
    order of m3u(placed), so that the ids agree), from the console's guide
    data: events of the channels a transmitter is tuned to; none for the
    others.  Each is named as in the playlist."""
    events = {}
    for tx in transmitters:
        for row in tx["channels"]:
            ch = row["channel"]
            events[(tx["device"], ch["transport_id"], ch["program"])] = row["events"]
    return [(dict(p["source"], name=p.get("name") or p["source"]["name"] or p["channel"]),
             events.get((p["transmitter"], p["source"]["transport_id"], p["source"]["program"]),
                        [])) for p in placed]


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

    def save(self, text: str) -> dict:
        lineup = parse_lineup(text)      # nothing broken reaches the disk
        with self.mutex:
            tmp = self.path + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                f.write(text if text.endswith("\n") else text + "\n")
            os.replace(tmp, self.path)
        return lineup
