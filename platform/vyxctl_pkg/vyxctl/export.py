"""Files for players and guides: an M3U playlist of the streams `stream`
would create, and an XMLTV document of the guide."""

import datetime
import re
import socket
import struct
from xml.sax.saxutils import escape, quoteattr

# Characters XML 1.0 does not allow, even escaped.
XML_INVALID = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def xml_text(text: str) -> str:
    return escape(XML_INVALID.sub("", text))


def xml_attr(text: str) -> str:
    return quoteattr(XML_INVALID.sub("", text))


def group_plus(group: str, n: int) -> str:
    value = struct.unpack("!I", socket.inet_aton(group))[0] + n
    if value > 0xEFFFFFFF:
        raise ValueError("not enough multicast groups after %s" % group)
    return socket.inet_ntoa(struct.pack("!I", value))


def label(ch: dict) -> str:
    number = ch.get("virtual") or "%d:%d" % (ch["transport_id"], ch["program"])
    return ("%s %s" % (number, ch.get("name") or "")).strip()


def program_ref(ch: dict) -> str:
    """How `stream` names a channel: its virtual number, or TSID:PROGRAM."""
    return ch["virtual"] or "%d:%d" % (ch["transport_id"], ch["program"])


def m3u_entries(channels, group: str, port: int):
    """(channel, group, port) for each channel: the n-th gets GROUP + n."""
    return [(ch, group_plus(group, i), port) for i, ch in enumerate(channels)]


def write_m3u(path: str, channels, group: str, port: int, device: str = "DEVICE") -> list:
    lines = ["#EXTM3U"]
    for ch, g, p in m3u_entries(channels, group, port):
        name = (ch.get("name") or "").replace(",", " ")
        lines.append("#EXTINF:-1 tvg-chno=\"%s\" tvg-name=\"%s\",%s"
                     % (ch.get("virtual", ""), name.replace('"', "'"), label(ch).replace(",", " ")))
        lines.append("# vyxctl stream %s %s --channel %d --to %s:%d"
                     % (device, program_ref(ch), ch["tuner_channel"], g, p))
        lines.append("udp://@%s:%d" % (g, p))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return lines


def channel_id(ch: dict) -> str:
    if ch.get("virtual"):
        return "%s.vyx" % ch["virtual"].replace(".", "-")
    return "%d-%d.vyx" % (ch["transport_id"], ch["program"])


def channel_ids(channels) -> list:
    """The id of each channel of one document (XMLTV channel id, M3U
    tvg-id), unique within it: two multiplexes may use the same transport
    id (and a lineup the same program twice), and a player joins guide and
    playlist entries by this id alone.  A shared id gets the tuner channel
    (1-1.c7.vyx), then, if still shared, its place (1-1.c7.2.vyx); ids
    that are not shared stay as channel_id() makes them."""
    base = [channel_id(ch) for ch in channels]
    ids = list(base)
    for i, ch in enumerate(channels):
        if base.count(base[i]) > 1 and ch.get("tuner_channel") is not None:
            ids[i] = "%s.c%d.vyx" % (base[i][:-4], ch["tuner_channel"])
    seen = {}
    for i, cid in enumerate(ids):
        seen[cid] = seen.get(cid, 0) + 1
        if seen[cid] > 1:
            ids[i] = "%s.%d.vyx" % (cid[:-4], seen[cid])
    return ids


def xmltv_time(iso: str) -> str:
    t = datetime.datetime.strptime(iso, "%Y-%m-%dT%H:%M:%SZ")
    return t.strftime("%Y%m%d%H%M%S +0000")


def string_text(s: dict) -> str:
    return s["text"] if s["text"] is not None else ""


def write_xmltv(path: str, guide) -> int:
    """guide: [(channel, [events])], the channels with ids by channel_ids()
    in this order.  Returns the programmes written."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<!DOCTYPE tv SYSTEM "xmltv.dtd">',
           '<tv generator-info-name="vyxctl">']
    ids = channel_ids([ch for ch, _ in guide])
    for (ch, _), cid in zip(guide, ids):
        out.append("  <channel id=%s>" % xml_attr(cid))
        names = [ch.get("name") or "", ch.get("virtual") or "", label(ch)]
        seen = []
        for n in names:
            if n and n not in seen:
                seen.append(n)
                out.append("    <display-name>%s</display-name>" % xml_text(n))
        if not seen:
            out.append("    <display-name>%s</display-name>" % xml_text(cid))
        out.append("  </channel>")
    count = 0
    for (ch, events), cid in zip(guide, ids):
        for ev in events:
            out.append("  <programme start=%s stop=%s channel=%s>"
                       % (xml_attr(xmltv_time(ev["start"])), xml_attr(xmltv_time(ev["stop"])),
                          xml_attr(cid)))
            out.append("    <title>%s</title>" % xml_text(string_text(ev["title"])))
            desc = string_text(ev["description"])
            if desc:
                out.append("    <desc>%s</desc>" % xml_text(desc))
            out.append("  </programme>")
            count += 1
    out.append("</tv>")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    return count
