"""Decoders of the devices' replies.  Each takes the bytes as they came and
returns plain data (dicts and lists, ready for JSON), or raises BadReply
with a sentence saying what was wrong; a hostile or truncated reply never
gets further than that."""

import datetime
import re

from .wire import BadReply, Refused, shorten

OK = b"OK\r\n"
KO = b"KO\r\n"


def text_of(data: bytes) -> str:
    return data.decode("latin-1")


def check_ok(data: bytes, what: str):
    """A command answered with the generic OK; KO (with or without a
    description) is a refusal, anything else is not understood."""
    if data == OK:
        return
    if data.startswith(b"KO"):
        detail = text_of(data[2:]).strip()
        raise Refused("%s: the device refused%s" % (what, ": " + detail if detail else ""))
    raise BadReply("%s: unexpected reply %s" % (what, shorten(data)))


# ----------------------------------------------------------------- version
VERS_RE = re.compile(rb"VERS(\d{1,5})\.(\d{1,5})\.(\d{1,5})OK\r\n\Z")


def parse_vers(data: bytes) -> str:
    m = VERS_RE.match(data)
    if not m:
        raise BadReply("VERS: unexpected reply %s" % shorten(data))
    return ".".join(g.decode() for g in m.groups())


# ------------------------------------------------------------------ status
STREAM_RE = re.compile(r"([01]) (\d+) ([\d.]+):(\d+) (\d+):([01]):([0-9a-f]{2}):\[([0-9a-f:]*)\] ")
TX_STATUS_RE = re.compile(r"STATUS ((?:" + STREAM_RE.pattern +
                          r")+)F:(\S*) E:(\d+) C:\"([^\"]*)\" (\d+)% OK\r\n\Z")
RX_STATUS_RE = re.compile(r"STATUS (\d+) ([\d.]*):(\d+) (\d+):([0-9a-f]{4}) (-?\d+) (-?\d+) "
                          r"(\d+) (\d+) (\d+)%OK\r\n\Z")


def signal_level(raw: int) -> int:
    """Signal strength as the status carries it (level x 51) -> 0..5."""
    return min(raw // 51, 5)


def parse_programs(text: str):
    if not text:
        return []
    parts = text.split(":")
    if any(not re.fullmatch(r"[0-9a-f]{4}", p) for p in parts):
        raise BadReply("STATUS: bad program list [%s]" % text)
    return [int(p, 16) for p in parts]


def parse_status(data: bytes) -> dict:
    """A transmitter's or a receiver's STATUS reply."""
    text = text_of(data)
    m = TX_STATUS_RE.match(text)
    if m:
        streams, lock, signal = [], 0, 0
        for s in STREAM_RE.finditer(m.group(1)):
            active, sid, group, port, _, lk, sig, progs = s.groups()
            lock, signal = int(lk), int(sig, 16)
            if group == "0.0.0.0" and port == "0":
                continue  # the form a transmitter without streams answers
            streams.append({"id": int(sid), "active": active == "1", "group": group,
                            "port": int(port), "programs": parse_programs(progs)})
        return {"role": "transmitter", "streams": streams, "locked": lock == 1,
                "signal": signal_level(signal), "tuner_mode": m.group(10),
                "cam": m.group(12), "cpu": int(m.group(13))}
    m = RX_STATUS_RE.match(text)
    if m:
        unit, group, port, lock, prog, video, audio, browser, _, cpu = m.groups()
        playing = bool(group) and group != "0.0.0.0" and int(port) != 0
        return {"role": "receiver", "unit": int(unit),
                "playing": {"group": group, "port": int(port), "program": int(prog, 16)}
                if playing else None,
                "stream_locked": lock == "5", "video_type": int(video), "audio_type": int(audio),
                "browser": browser == "2", "cpu": int(cpu)}
    if data.startswith(b"KO"):
        raise Refused("STATUS: the device refused")
    raise BadReply("STATUS: unexpected reply %s" % shorten(data))


IP_RE = re.compile(r"DHCP:(\d+) MAC:([0-9a-f]*) IP:(\S*) GW:(\S*) NM:(\S*) OK\r\n\Z")


def parse_ip(data: bytes) -> dict:
    m = IP_RE.match(text_of(data))
    if not m:
        if data.startswith(b"KO"):
            raise Refused("IP?: the device could not read its network settings")
        raise BadReply("IP?: unexpected reply %s" % shorten(data))
    dhcp, mac, ip, gw, nm = m.groups()
    return {"dhcp": dhcp == "1", "mac": format_mac(mac), "ip": ip, "gateway": gw, "netmask": nm}


def format_mac(mac12: str) -> str:
    if len(mac12) != 12:
        return mac12
    return ":".join(mac12[i:i + 2] for i in range(0, 12, 2))


# ------------------------------------------------------------------ beacon
BEACON_FIELD_RE = re.compile(r"<([A-Za-z-]+)=([^<>]*)>")


def parse_beacon(data: bytes) -> dict:
    """VYXB<Key=Value>...CR LF -> role, MAC, version and every field."""
    text = text_of(data)
    if not text.startswith("VYXB") or not text.endswith("\r\n"):
        raise BadReply("not a beacon: %s" % shorten(data))
    body = text[4:-2]
    fields = dict(BEACON_FIELD_RE.findall(body))
    if BEACON_FIELD_RE.sub("", body) or not fields:
        raise BadReply("malformed beacon: %s" % shorten(data))
    model = fields.get("Device-Model", "")
    role = "transmitter" if "_TX" in model else "receiver" if "_RX" in model else "unknown"
    uuid = fields.get("Device-UUID", "")
    mac = uuid.rpartition("-")[2]
    return {"role": role, "model": model, "version": fields.get("Device-Revision", ""),
            "mac": format_mac(mac.lower()) if re.fullmatch(r"[0-9a-fA-F]{12}", mac) else "",
            "uuid": uuid, "fields": fields}


# ------------------------------------------------------------- scan lines
BLIND_RE = re.compile(r"(BLINDSTART|BLINDLOCK|BLINDFND|BLINDCMP):(\d+) (OK|KO)\r\n")


def parse_progress(data: bytes):
    """Scan progress datagrams -> [(kind, number, ok)], kind one of start,
    lock, found, complete, or ("stopped", 0, True) for the stop's OK."""
    text = text_of(data)
    if text == "OK\r\n":
        return [("stopped", 0, True)]
    out, pos = [], 0
    names = {"BLINDSTART": "start", "BLINDLOCK": "lock", "BLINDFND": "found",
             "BLINDCMP": "complete"}
    while pos < len(text):
        m = BLIND_RE.match(text, pos)
        if not m:
            raise BadReply("scan: unexpected progress line %s" % shorten(data[pos:]))
        out.append((names[m.group(1)], int(m.group(2)), m.group(3) == "OK"))
        pos = m.end()
    return out


def parse_sca(data: bytes) -> dict:
    """The 4 raw bytes of SCA?: channel being scanned, channels locked, state."""
    if len(data) != 4 or data[0] != 0:
        raise BadReply("SCA?: unexpected reply %s" % shorten(data))
    states = {0: "idle", 2: "scanning", 5: "done", 0xFF: "error"}
    if data[3] not in states:
        raise BadReply("SCA?: unknown scan state %d" % data[3])
    return {"channel": data[1], "locked": data[2], "state": states[data[3]]}


# ------------------------------------------------------------ channel list
SCAL_END = b"ffff\r\nOK\r\n"
SCAL_RE = re.compile(r"SCAL (\d{3,5}) ([0-9a-f]{4}) ([0-9a-f]{4}) \[([0-9a-f]{2}):0:([0-9a-f]{2}):"
                     r"([0-9a-f]{2}):([0-9a-f]{2})\] ([CE]) ([UA]) (.*)\Z")
VIDEO_TYPES = {0x01: "MPEG-1 video", 0x02: "MPEG-2 video", 0x1B: "H.264"}
AUDIO_TYPES = {0x03: "MPEG-1 audio", 0x04: "MPEG-2 audio", 0x0F: "AAC", 0x81: "AC-3"}


def scal_complete(datagrams) -> bool:
    return bool(datagrams) and datagrams[-1].rstrip(b"\0").endswith(SCAL_END)


def stream_type_name(table, value: int) -> str:
    if value == 0:
        return "-"
    return table.get(value, "type 0x%02x" % value)


def decode_short_name(form: str, name: str) -> str:
    if form == "A":
        return name
    groups = name.split(" ")
    if len(groups) != 7 or any(not re.fullmatch(r"[0-9a-f]{4}", g) for g in groups):
        raise BadReply("SCAL: bad UTF-16 name %r" % name)
    raw = bytes.fromhex("".join(groups))
    text = raw.decode("utf-16-be", "replace")
    return text.split("\0", 1)[0].rstrip()


def parse_scal_line(line: str) -> dict:
    m = SCAL_RE.match(line)
    if not m:
        raise BadReply("SCAL: unexpected line %s" % shorten(line.encode("latin-1")))
    number, tsid, prog, chan, strength, video, audio, enc, form, name = m.groups()
    number = int(number)
    video, audio = int(video, 16), int(audio, 16)
    return {"virtual": "%d.%d" % (number // 10, number % 10) if number else "",
            "transport_id": int(tsid, 16), "program": int(prog, 16),
            "tuner_channel": int(chan, 16), "strength": signal_level(int(strength, 16)),
            "video": stream_type_name(VIDEO_TYPES, video), "video_type": video,
            "audio": stream_type_name(AUDIO_TYPES, audio), "audio_type": audio,
            "scrambled": enc == "E", "name": decode_short_name(form, name)}


def parse_scal(datagrams) -> list:
    """The datagrams of one SCAL answer, the last ending in the end mark."""
    if not scal_complete(datagrams):
        raise BadReply("SCAL: the list ended after %d datagram(s) without its end mark (ffff)"
                       % len(datagrams))
    if len(datagrams) == 1 and datagrams[0].startswith(b"KO"):
        raise Refused("SCAL: the device refused (a scan may be running)")
    text = text_of(b"".join(datagrams).rstrip(b"\0"))
    body = text[:-len(SCAL_END)]
    if body and not body.endswith("\r\n"):
        raise BadReply("SCAL: a line is cut short before the end mark")
    lines = body.split("\r\n")[:-1] if body else []
    return [parse_scal_line(line) for line in lines]


# ---------------------------------------------------------- languages
LANG_LINE_RE = re.compile(r"(LANG|SUB) ([0-9a-f]{4}) ([0-9a-f]{4}) ?(.*)\Z")


def parse_languages(data: bytes) -> list:
    """The LAN? / SUB? answer: one line per program, then OK."""
    text = text_of(data)
    if not text.endswith("OK\r\n"):
        if data.startswith(b"KO"):
            raise Refused("the device refused the language query")
        raise BadReply("language list without its OK: %s" % shorten(data))
    out = []
    for line in text[:-4].split("\r\n")[:-1] if text[:-4] else []:
        m = LANG_LINE_RE.match(line)
        if not m:
            raise BadReply("unexpected language line %s" % shorten(line.encode("latin-1")))
        kind, tsid, prog, rest = m.groups()
        entries = []
        for item in filter(None, rest.split(",")):
            if kind == "LANG":
                if not re.fullmatch(r"[\x20-\x7e]{3}\d{2}", item):
                    raise BadReply("unexpected audio language %r" % item)
                entries.append({"language": item[:3], "type": int(item[3:])})
            else:
                entries.append({"language": item})
        out.append({"transport_id": int(tsid, 16), "program": int(prog, 16), "entries": entries})
    return out


# ------------------------------------------------------------------- guide
EITI_HEAD_RE = re.compile(rb"EITI ([0-9a-f]{1,8}) (\d{2})(\d{2}) (\d{4}) S(\d{1,4}),([0-9a-f]{2})\[")
MJD_UNIX_EPOCH = 40587


def decode_mode_text(mode: int, raw: bytes) -> str:
    """Text of a guide string by its ATSC mode byte; None when the bytes
    are not text this tool can read (compressed, reserved modes)."""
    if mode == 0x3F:
        if len(raw) % 2:
            return None
        text = raw.decode("utf-16-be", "replace")
    elif mode <= 0x33 and mode not in (0x07, 0x08) and not 0x11 <= mode <= 0x1F \
            and not 0x28 <= mode <= 0x2F:
        # the mode is the upper byte of every character's code point
        text = "".join(chr(mode << 8 | b) for b in raw)
    else:
        return None
    return text.split("\0", 1)[0]


def take_string(data: bytes, pos: int, length: int, mode: int, what: str):
    """One bracketed string of an EITI line: plain bytes, or for another
    mode `length` bytes as hex pairs separated by blanks."""
    if mode == 0:
        raw = data[pos:pos + length]
        end = pos + length
    else:
        width = 3 * length - 1 if length else 0
        hexpart = data[pos:pos + width]
        if len(hexpart) != width or (length and not re.fullmatch(
                rb"[0-9a-f]{2}( [0-9a-f]{2})*", hexpart)):
            raise BadReply("EITI: bad %s bytes" % what)
        raw = bytes.fromhex(hexpart.decode()) if length else b""
        end = pos + width
    if len(raw) != length or data[end:end + 1] != b"]":
        raise BadReply("EITI: %s shorter than its length %d" % (what, length))
    text = text_of(raw) if mode == 0 else decode_mode_text(mode, raw)
    return {"text": text, "mode": mode, "bytes": raw.hex() if text is None else None}, end + 1


def mjd_to_date(mjd: int, hh: int, mm: int) -> datetime.datetime:
    if hh > 23 or mm > 59:
        raise BadReply("EITI: bad time %02d%02d" % (hh, mm))
    try:
        return (datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
                + datetime.timedelta(days=mjd - MJD_UNIX_EPOCH, hours=hh, minutes=mm))
    except OverflowError:
        raise BadReply("EITI: date out of range (MJD %x)" % mjd)


def parse_eiti(data: bytes) -> list:
    """One guide answer: EITI lines then OK, or "EITI OK" for none.  Lines
    are taken by their stated lengths (a title may hold any character)."""
    if data == b"EITI OK\r\n":
        return []
    if data.startswith(b"KO"):
        raise Refused("the device refused the guide query")
    events, pos = [], 0
    while True:
        if data[pos:] == OK:
            return events
        m = EITI_HEAD_RE.match(data, pos)
        if not m:
            raise BadReply("EITI: unexpected text %s" % shorten(data[pos:]))
        mjd, hh, mm, dur, tlen, tmode = m.groups()
        start = mjd_to_date(int(mjd, 16), int(hh), int(mm))
        dur = int(dur)
        if dur % 100 > 59:
            raise BadReply("EITI: bad duration %04d" % dur)
        title, pos = take_string(data, m.end(), int(tlen), int(tmode, 16), "title")
        m2 = re.compile(rb"L(\d{1,5}),([0-9a-f]{2})\[").match(data, pos)
        if not m2:
            raise BadReply("EITI: no description after the title")
        desc, pos = take_string(data, m2.end(), int(m2.group(1)), int(m2.group(2), 16),
                                "description")
        if data[pos:pos + 2] != b"\r\n":
            raise BadReply("EITI: line does not end after its description")
        pos += 2
        minutes = dur // 100 * 60 + dur % 100
        events.append({"start": start.strftime("%Y-%m-%dT%H:%M:%SZ"),
                       "stop": (start + datetime.timedelta(minutes=minutes))
                       .strftime("%Y-%m-%dT%H:%M:%SZ"),
                       "minutes": minutes, "title": title, "description": desc})


# ------------------------------------------------------------- monitoring
# IR keys by the code the receiver forwards.
KEY_NAMES = {25: "KEY_NUM_0", 15: "KEY_NUM_1", 16: "KEY_NUM_2", 17: "KEY_NUM_3", 18: "KEY_NUM_4",
             19: "KEY_NUM_5", 20: "KEY_NUM_6", 21: "KEY_NUM_7", 22: "KEY_NUM_8", 23: "KEY_NUM_9",
             7: "KEY_UP", 13: "KEY_DOWN", 11: "KEY_RIGHT", 9: "KEY_LEFT", 10: "KEY_ENTER",
             29: "KEY_MENU", 14: "KEY_FF", 2: "KEY_OFF", 3: "KEY_VYX", 27: "KEY_RED",
             28: "KEY_GREEN", 30: "KEY_YELLOW", 31: "KEY_BLUE", 26: "KEY_F1", 1: "KEY_CHAN_UP",
             4: "KEY_CHAN_DOWN", 12: "KEY_GUIDE", 24: "KEY_INFO", 8: "KEY_VOL_UP",
             6: "KEY_VOL_DOWN", 5: "KEY_MUTE"}


def parse_event(data: bytes) -> dict:
    """One datagram a device sends after CALLBACK1."""
    if data.startswith(b"LOG:ERROR "):
        return {"kind": "error", "text": text_of(data[10:]).rstrip("\r\n\0")}
    if data.startswith(b"LOG: "):
        return {"kind": "log", "text": text_of(data[5:]).rstrip("\0").rstrip("\r\n")}
    if len(data) == 12 and data[:6] == b"REMOTE" and data[6:8] == b"\x01\x04" \
            and data[11] == 0xCC:
        code = data[9]
        return {"kind": "key", "key": KEY_NAMES.get(code, "unknown key %d" % code),
                "code": code, "mode": data[8], "repeat": data[10] == 1}
    if len(data) == 5 and data[:4] == b"UART":
        return {"kind": "serial", "byte": data[4]}
    return {"kind": "other", "data": shorten(data, 200)}


# ----------------------------------------------------------------- upgrade
UPGR_STATUS_RE = re.compile(rb"UPGRSTATUS(\d) OK\r\n\r\n\Z")
UPGRADE_STATES = {0: "idle", 1: "downloading", 2: "burning", 3: "download error",
                  4: "burn error"}


def parse_upgrade_status(data: bytes) -> int:
    m = UPGR_STATUS_RE.match(data)
    if not m or int(m.group(1)) not in UPGRADE_STATES:
        raise BadReply("UPGR?: unexpected reply %s" % shorten(data))
    return int(m.group(1))
