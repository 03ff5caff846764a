#!/usr/bin/env python3
"""vyxctl without devices: its decoders on golden and hostile replies, the
scan progress state, the playlist and guide files, the upgrade's retries
against a loopback device that loses datagrams, and the command line's
errors.  Standard library only (xmllint and the XMLTV DTD when present)."""

import argparse
import contextlib
import io
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PLATFORM = os.path.join(HERE, "..", "..", "platform")
sys.path.insert(0, os.path.join(PLATFORM, "vyxctl_pkg"))

from vyxctl import cli, decode, export, progress, upgrade  # noqa: E402
from vyxctl import hub, lineup  # noqa: E402
from vyxctl.hub import Hub  # noqa: E402
from vyxctl.wire import BadReply, Link, NoReply, Refused  # noqa: E402

XMLTV_DTD = "/usr/share/xmltv/xmltv.dtd"


class Replies(unittest.TestCase):
    def test_status_of_both_roles(self):
        tx = b'STATUS 1 0 239.1.1.1:5000 0:1:ff:[0003:0004] F:ATSC E:0 C:"NO CAM" 12% OK\r\n'
        st = decode.parse_status(tx)
        self.assertEqual(st["streams"], [{"id": 0, "active": True, "group": "239.1.1.1",
                                          "port": 5000, "programs": [3, 4]}])
        self.assertEqual((st["role"], st["signal"], st["locked"], st["tuner_mode"], st["cpu"]),
                         ("transmitter", 5, True, "ATSC", 12))
        idle = decode.parse_status(b'STATUS 0 0 0.0.0.0:0 0:0:00:[] F:QAM64 E:0 C:"NO CAM" 3% OK\r\n')
        self.assertEqual((idle["streams"], idle["signal"], idle["tuner_mode"]), ([], 0, "QAM64"))
        two = decode.parse_status(b'STATUS 1 0 239.1.1.1:5000 0:1:99:[0003] 1 2 239.1.1.2:5002 '
                                  b'0:1:99:[] F:ATSC E:0 C:"NO CAM" 7% OK\r\n')
        self.assertEqual([(s["id"], s["programs"]) for s in two["streams"]], [(0, [3]), (2, [])])
        self.assertEqual(two["signal"], 3)
        rx = decode.parse_status(b"STATUS 1 239.1.1.1:1234 5:0002 1 3 2 0 40%OK\r\n")
        self.assertEqual(rx["playing"], {"group": "239.1.1.1", "port": 1234, "program": 2})
        self.assertTrue(rx["stream_locked"] and rx["browser"])
        self.assertIsNone(decode.parse_status(b"STATUS 0 :0 0:0000 0 0 0 0 1%OK\r\n")["playing"])

    def test_hostile_status_network_and_version(self):
        for junk in (b"", b"STATUS", b"STATUS 1 0 239.1.1.1:5000 0:1:ff:[0003:0004] F:ATSC",
                     b'STATUS 1 0 239.1.1.1:5000 0:1:ff:[03] F:ATSC E:0 C:"NO CAM" 12% OK\r\n',
                     b"\xff\x00garbage", b"STATUS 1 239.1.1.1:1234 5:02 1 3 2 0 40%OK\r\n"):
            with self.assertRaises(BadReply, msg=junk):
                decode.parse_status(junk)
        with self.assertRaises(Refused):
            decode.parse_status(b"KO\r\n")
        ip = decode.parse_ip(b"DHCP:0 MAC:027700000002 IP:10.77.0.2 GW:10.77.0.1 "
                             b"NM:255.255.255.0 OK\r\n")
        self.assertEqual((ip["dhcp"], ip["mac"], ip["netmask"]),
                         (False, "02:77:00:00:00:02", "255.255.255.0"))
        with self.assertRaises(Refused):
            decode.parse_ip(b"KO\r\n")
        with self.assertRaises(BadReply):
            decode.parse_ip(b"DHCP:0 MAC:0277 IP:10.77.0.2 OK\r\n")
        self.assertEqual(decode.parse_vers(b"VERS0.82.14OK\r\n"), "0.82.14")
        for junk in (b"VERS0.82OK\r\n", b"VERS0.82.14OK", b"VERSx.y.zOK\r\n"):
            with self.assertRaises(BadReply):
                decode.parse_vers(junk)
        with self.assertRaises(Refused) as e:
            decode.check_ok(b"KO\r\n File too large or too small: 10\r\n", "upgrade")
        self.assertIn("File too large or too small: 10", str(e.exception))

    def test_beacon(self):
        b = decode.parse_beacon(b"VYXB<Device-UUID=VYX_IPTV_TX_QAM-001122334455><Device-SDKClass="
                                b"SettopBox><Device-Make=VYX-Morvane><Device-Model=VYX_IPTV_TX_QAM>"
                                b"<Device-Revision=1.2.3>\r\n")
        self.assertEqual((b["role"], b["mac"], b["version"]),
                         ("transmitter", "00:11:22:33:44:55", "1.2.3"))
        for junk in (b"VYX?", b"VYXB<Device-UUID=x>junk\r\n", b"VYXB\r\n", b"<a=b>\r\n"):
            with self.assertRaises(BadReply, msg=junk):
                decode.parse_beacon(junk)


def scal_line(number, tsid, prog, chan, strength, video, audio, enc, name_u=None, name_a=""):
    if name_u is not None:
        raw = name_u.encode("utf-16-be").ljust(14, b"\0")
        name = " ".join(raw[i:i + 2].hex() for i in range(0, 14, 2))
        form = "U"
    else:
        name, form = name_a, "A"
    return ("SCAL %03d %04x %04x [%02x:0:%02x:%02x:%02x] %s %s %s\r\n"
            % (number, tsid, prog, chan, strength * 51, video, audio, enc, form, name)).encode()


class ChannelList(unittest.TestCase):
    def test_datagrams_with_both_name_forms(self):
        first = scal_line(131, 0x7DB, 3, 5, 5, 0x02, 0x81, "C", name_u="WNET-HD")
        second = (scal_line(132, 0x7DB, 4, 5, 3, 0x1B, 0x0F, "E", name_a="KIDS")
                  + scal_line(0, 1, 2, 7, 1, 0, 0, "C") + b"ffff\r\nOK\r\n\0")
        table = decode.parse_scal([first, second])
        self.assertEqual([(c["virtual"], c["name"], c["program"], c["tuner_channel"],
                           c["strength"], c["video"], c["audio"], c["scrambled"]) for c in table],
                         [("13.1", "WNET-HD", 3, 5, 5, "MPEG-2 video", "AC-3", False),
                          ("13.2", "KIDS", 4, 5, 3, "H.264", "AAC", True),
                          ("", "", 2, 7, 1, "-", "-", False)])
        self.assertEqual(table[0]["transport_id"], 0x7DB)
        self.assertEqual(decode.parse_scal([b"ffff\r\nOK\r\n\0"]), [])

    def test_hostile_lists(self):
        good = scal_line(131, 0x7DB, 3, 5, 5, 2, 0x81, "C", name_a="X")
        cases = {
            "no end mark": [good],
            "cut line": [good[:-9] + b"ffff\r\nOK\r\n\0"],
            "junk line": [b"HELLO\r\nffff\r\nOK\r\n\0"],
            "bad utf-16 name": [good.replace(b" A X", b" U 00zz") + b"ffff\r\nOK\r\n\0"],
            "nothing": [],
        }
        for what, datagrams in cases.items():
            with self.assertRaises(BadReply, msg=what):
                decode.parse_scal(datagrams)


class Scan(unittest.TestCase):
    def test_progress_follows_the_lines(self):
        clock = [100.0]
        p = progress.ScanProgress(2, 69, now=lambda: clock[0])
        self.assertEqual((p.state, p.index, p.total), ("starting", 0, 68))
        for item in decode.parse_progress(b"BLINDSTART:0 OK\r\n"):
            p.feed(*item)
        self.assertEqual(p.state, "scanning")
        clock[0] += 12
        p.poll(decode.parse_sca(b"\x00\x04\x00\x02"))     # tuning channel 4
        self.assertEqual((p.channel, p.index), (4, 3))
        self.assertEqual(p.seconds_left(), 6 * 66)           # 2 channels in 12 s, 66 to go
        p.poll(decode.parse_sca(b"\x00\x03\x00\x02"))        # a stale poll never goes back
        self.assertEqual(p.channel, 4)
        for data in (b"BLINDLOCK:5 OK\r\n", b"BLINDFND:3 OK\r\n", b"BLINDLOCK:9 OK\r\n",
                     b"BLINDFND:0 OK\r\n"):
            for item in decode.parse_progress(data):
                p.feed(*item)
        self.assertEqual((p.channel, p.locked, p.found, p.programs), (9, [5, 9], {5: 3, 9: 0}, 3))
        self.assertIn("channel 9 (8 of 68)  locked 2  programs 3", p.render())
        for item in decode.parse_progress(b"OK\r\nBLINDCMP:0 OK\r\n"[4:]):
            p.feed(*item)
        self.assertEqual(p.state, "done")
        self.assertTrue(p.render().startswith("[" + "#" * 30 + "]"))
        self.assertIn("channel 69 (68 of 68)", p.render())     # not the last one polled
        self.assertTrue(p.render().endswith("left 0:00"))

    def test_failed_start_and_junk(self):
        p = progress.ScanProgress(40, 40)
        for item in decode.parse_progress(b"BLINDSTART:1 KO\r\n"):
            p.feed(*item)
        self.assertEqual((p.state, p.refused), ("failed", True))
        self.assertEqual(decode.parse_progress(b"OK\r\n"), [("stopped", 0, True)])
        for junk in (b"BLINDLOCK:x OK\r\n", b"BLINDLOCK:5 OK", b"BLINDFOO:1 OK\r\n"):
            with self.assertRaises(BadReply, msg=junk):
                decode.parse_progress(junk)
        for junk in (b"\x00\x01\x02", b"\x01\x02\x03\x05", b"\x00\x02\x00\x07"):
            with self.assertRaises(BadReply, msg=junk):
                decode.parse_sca(junk)


def eiti(date, hhmm, dur, title, tmode=0, desc=b"", dmode=0):
    def part(raw, mode):
        return raw if mode == 0 else b" ".join(b"%02x" % c for c in raw)
    return (b"EITI %x %s %04d S%d,%02x[" % (date, hhmm, dur, len(title), tmode) + part(title, tmode)
            + b"]L%d,%02x[" % (len(desc), dmode) + part(desc, dmode) + b"]\r\n")


class Guide(unittest.TestCase):
    # MJD 0xdd8b is 2014-02-27
    NOW_NEXT = (eiti(0xdd8b, b"1930", 100, b"News [live]", desc=b"Headlines]L0,00[")
                + eiti(0xdd8b, b"2030", 30, "Noticias".encode("utf-16-be"), tmode=0x3F,
                       desc=b"\x01\x02", dmode=0x3E) + b"OK\r\n")

    def test_events_by_their_lengths_and_modes(self):
        events = decode.parse_eiti(self.NOW_NEXT)
        self.assertEqual([(e["start"], e["stop"], e["minutes"]) for e in events],
                         [("2014-02-27T19:30:00Z", "2014-02-27T20:30:00Z", 60),
                          ("2014-02-27T20:30:00Z", "2014-02-27T21:00:00Z", 30)])
        self.assertEqual(events[0]["title"]["text"], "News [live]")
        self.assertEqual(events[0]["description"]["text"], "Headlines]L0,00[")
        self.assertEqual(events[1]["title"]["text"], "Noticias")
        self.assertEqual((events[1]["description"]["text"], events[1]["description"]["bytes"]),
                         (None, "0102"))
        self.assertEqual(decode.parse_eiti(b"EITI OK\r\n"), [])
        self.assertEqual(decode.parse_eiti(eiti(0xdd8b, b"0000", 0, b"\xe9t\xe9", tmode=1) +
                                           b"OK\r\n")[0]["title"]["text"], "\u01e9\u0174\u01e9")

    def test_hostile_guide_answers(self):
        good = eiti(0xdd8b, b"1930", 100, b"News")
        cases = [good, good.replace(b"S4", b"S9") + b"OK\r\n",
                 good.replace(b"1930", b"2561") + b"OK\r\n",
                 good.replace(b"0100", b"0075") + b"OK\r\n",
                 eiti(0xdd8b, b"1930", 100, b"ab", tmode=0x3F).replace(b"61 62", b"6 162")
                 + b"OK\r\n",
                 good[:-2] + b"OK\r\n", b"EITI dd8b\r\nOK\r\n", b"junk"]
        for data in cases:
            with self.assertRaises(BadReply, msg=data):
                decode.parse_eiti(data)
        with self.assertRaises(Refused):
            decode.parse_eiti(b"KO\r\n")

    def test_xmltv_and_m3u_files(self):
        channels = [{"virtual": "13.1", "name": "WNET-HD", "transport_id": 0x7DB, "program": 3,
                     "tuner_channel": 5},
                    {"virtual": "", "name": "", "transport_id": 1, "program": 2,
                     "tuner_channel": 7}]
        events = decode.parse_eiti(self.NOW_NEXT)
        events[0]["title"]["text"] = "News & <weather>\x07"
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "guide.xml")
            self.assertEqual(export.write_xmltv(path, [(channels[0], events), (channels[1], [])]),
                             2)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            self.assertIn('<programme start="20140227193000 +0000" stop="20140227203000 +0000" '
                          'channel="13-1.vyx">', text)
            self.assertIn("<title>News &amp; &lt;weather&gt;</title>", text)
            self.assertIn("<display-name>13.1</display-name>", text)
            if shutil.which("xmllint") and os.path.exists(XMLTV_DTD):
                r = subprocess.run(["xmllint", "--noout", "--dtdvalid", XMLTV_DTD, path],
                                   capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
            else:
                print("skipped: xmllint or %s missing (xmltv-util)" % XMLTV_DTD)

            m3u = os.path.join(d, "c.m3u")
            lines = export.write_m3u(m3u, channels, "239.1.1.255", 1234, "tx")
            self.assertEqual([l for l in lines if l.startswith("udp:")],
                             ["udp://@239.1.1.255:1234", "udp://@239.1.2.0:1234"])
            self.assertIn("#EXTINF:-1 tvg-chno=\"13.1\" tvg-name=\"WNET-HD\",13.1 WNET-HD", lines)
            self.assertIn("# vyxctl stream tx 1:2 --channel 7 --to 239.1.2.0:1234", lines)
            with self.assertRaises(ValueError):
                export.write_m3u(m3u, channels, "239.255.255.255", 1234)


    def test_channel_ids_unique_within_a_document(self):
        # the demo's lineup: transport 1 on tuner channels 5 and 7 (two
        # multiplexes made alike), and one program placed twice
        def ch(tsid, prog, tuner, virtual=""):
            return {"virtual": virtual, "name": "", "transport_id": tsid, "program": prog,
                    "tuner_channel": tuner}
        chans = [ch(1, 1, 5), ch(1, 2, 5), ch(1, 3, 7), ch(1, 1, 7), ch(1, 1, 7),
                 ch(2011, 3, 3, "13.1")]
        self.assertEqual(export.channel_ids(chans),
                         ["1-1.c5.vyx", "1-2.vyx", "1-3.vyx", "1-1.c7.vyx", "1-1.c7.2.vyx",
                          "13-1.vyx"])
        events = decode.parse_eiti(self.NOW_NEXT)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "guide.xml")
            export.write_xmltv(path, [(chans[0], []), (chans[3], events)])
            with open(path, encoding="utf-8") as f:
                text = f.read()
        self.assertEqual(re.findall(r'<channel id="([^"]+)"', text), ["1-1.c5.vyx", "1-1.c7.vyx"])
        self.assertEqual(set(re.findall(r'channel="([^"]+)"', text)), {"1-1.c7.vyx"})


class Mutations(unittest.TestCase):
    """Every decoder on mangled golden replies: a value or a one-line
    error (BadReply, Refused), never another exception."""

    def test_mangled_replies(self):
        import random
        rng = random.Random(1313)
        golden = [
            (decode.parse_status, b'STATUS 1 0 239.1.1.1:5000 0:1:ff:[0003:0004] F:ATSC E:0 '
                                  b'C:"NO CAM" 12% OK\r\n'),
            (decode.parse_status, b"STATUS 1 239.1.1.1:1234 5:0002 1 3 2 0 40%OK\r\n"),
            (decode.parse_ip, b"DHCP:0 MAC:027700000002 IP:10.77.0.2 GW:10.77.0.1 NM:255.0.0.0 OK\r\n"),
            (decode.parse_vers, b"VERS0.82.14OK\r\n"),
            (decode.parse_beacon, b"VYXB<Device-UUID=VYX_IPTV_RX_HD-001122334455><Device-Model="
                                  b"VYX_IPTV_RX_HD><Device-Revision=0.82.14>\r\n"),
            (lambda d: decode.parse_scal([d]),
             scal_line(131, 0x7DB, 3, 5, 5, 2, 0x81, "C", name_u="WNET-HD") + b"ffff\r\nOK\r\n\0"),
            (decode.parse_eiti, Guide.NOW_NEXT),
            (decode.parse_progress, b"BLINDLOCK:5 OK\r\nBLINDFND:3 OK\r\n"),
            (decode.parse_sca, b"\x00\x05\x01\x02"),
            (decode.parse_languages, b"LANG 0001 0002 eng00,fra01\r\nOK\r\n"),
            (decode.parse_upgrade_status, b"UPGRSTATUS1 OK\r\n\r\n"),
            (decode.parse_event, b"REMOTE\x01\x04\x6e\x1d\x00\xcc"),
        ]
        for parse, data in golden:
            parse(data)   # the golden one decodes
            for _ in range(400):
                b = bytearray(data)
                for _ in range(rng.randint(1, 4)):
                    op = rng.randrange(3)
                    i = rng.randrange(len(b) + 1)
                    if op == 0 and b:
                        del b[min(i, len(b) - 1):]                      # cut
                    elif op == 1 and b:
                        b[min(i, len(b) - 1)] = rng.randrange(256)      # change a byte
                    else:
                        b[i:i] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 6)))
                try:
                    parse(bytes(b))
                except (BadReply, Refused):
                    pass


class Monitor(unittest.TestCase):
    def test_device_datagrams(self):
        key = decode.parse_event(bytes.fromhex("52454D4F5445010412050 0CC".replace(" ", "")))
        self.assertEqual((key["kind"], key["key"], key["mode"], key["repeat"]),
                         ("key", "KEY_MUTE", 0x12, False))
        self.assertEqual(decode.parse_event(b"REMOTE\x01\x04\x6e\x08\x01\xcc")["repeat"], True)
        self.assertEqual(decode.parse_event(b"UART\x41"), {"kind": "serial", "byte": 0x41})
        self.assertEqual(decode.parse_event(b"LOG:ERROR Bad type T\r\n"),
                         {"kind": "error", "text": "Bad type T"})
        self.assertEqual(decode.parse_event(b"LOG: abc\n\r\n\x00"), {"kind": "log", "text": "abc"})
        self.assertEqual(decode.parse_event(b"REMOTE\x01\x04")["kind"], "other")


# ---------------------------------------------------------------- upgrade
class FakeUpgradeDevice(threading.Thread):
    """The upgrade side of a device on loopback: counts the bytes it
    writes, as the real one does.  drop_reply / drop_request: 1-based
    numbers of chunks whose OK (or which themselves) get lost; delay:
    chunk numbers answered late."""

    def __init__(self, drop_reply=(), drop_request=(), delay=(), host="127.0.0.1", down=0.0):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, 0))
        self.port = self.sock.getsockname()[1]
        self.drop_reply, self.drop_request, self.delay = set(drop_reply), set(drop_request), set(delay)
        self.state, self.size, self.archive, self.chunks = 0, 0, bytearray(), 0
        self.announcements = 0
        self.restarts = True
        self.down, self.down_until = down, 0.0     # silent for `down` s after the burn
        self.stop = False
        self.start()

    def run(self):
        self.sock.settimeout(0.1)
        while not self.stop:
            try:
                data, addr = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            reply = self.handle(data)
            if reply == "late":
                time.sleep(0.6)  # the device answers in order: UPGR? waits behind
                reply = b"OK\r\n"
            for r in reply if isinstance(reply, tuple) else [reply]:
                if r:
                    self.sock.sendto(r, addr)
        self.sock.close()

    def handle(self, data):
        if data == b"VERS":
            return b"VERS0.82.14OK\r\n"
        if data == b"UPGR?":
            if time.monotonic() < self.down_until:
                return None
            state = self.state
            if state == 2 and self.restarts:
                self.state = 0          # burnt and restarted after this answer
            return b"UPGRSTATUS%d OK\r\n\r\n" % state
        if self.state == 2:
            return b"KO\r\n Invalid state 2\r\n"
        if self.state == 1 and data.startswith(b"UPGR:"):
            self.chunks += 1
            if self.chunks in self.drop_request:
                return None
            self.archive += data[5:]
            if len(self.archive) > self.size:
                self.state = 3
                return b"KO\r\n Error saving upgrade file\r\n"
            if len(self.archive) == self.size:
                self.state = 2
                if self.down:
                    self.down_until = time.monotonic() + self.down
                    return b"OK\r\n", b"UPGRSTATUS1 OK\r\n\r\n"   # and a late answer
            if self.chunks in self.drop_reply:
                return None
            return "late" if self.chunks in self.delay else b"OK\r\n"
        self.announcements += 1
        self.size = int(data[4:])
        self.state, self.archive = 1, bytearray()
        return b"OK\r\n"


class Upgrade(unittest.TestCase):
    ARCHIVE = bytes((i * 7 + i // 2035) % 256 for i in range(10 * 2035 + 100))   # 11 chunks

    def send(self, dev):
        with Link("127.0.0.1", dev.port, sport=0) as link:
            job = upgrade.Upgrade(link, self.ARCHIVE, reply_timeout=0.3, announce_timeout=2)
            result = job.run()
            self.assertEqual(job.wait_restart(5), "restarted")
        dev.stop = True
        self.assertEqual(bytes(dev.archive), self.ARCHIVE)
        return result

    def test_lost_datagrams_never_corrupt_the_archive(self):
        self.assertEqual(self.send(FakeUpgradeDevice())["restarts"], 0)
        # a lost OK in the middle: the chunk was written, so everything is
        # sent again after a new announcement (resending it would double it)
        dev = FakeUpgradeDevice(drop_reply=[4])
        r = self.send(dev)
        self.assertEqual((r["restarts"], dev.announcements, r["chunks"]), (1, 2, 11 + 4))
        # a lost chunk: the same start over
        dev = FakeUpgradeDevice(drop_request=[6])
        self.assertEqual((self.send(dev)["restarts"], dev.announcements), (1, 2))
        # the last chunk's OK lost: the device burns, nothing more is sent
        dev = FakeUpgradeDevice(drop_reply=[11])
        self.assertEqual((self.send(dev)["restarts"], dev.announcements), (0, 1))
        # a slow OK arrives before the answer to UPGR?: no restart
        dev = FakeUpgradeDevice(delay=[3])
        r = self.send(dev)
        self.assertEqual((r["restarts"], r["late_replies"], dev.announcements), (0, 1, 1))

    def test_restart_noticed_soon_and_not_before(self):
        # down 1.5 s for its restart, with a late answer of the download
        # (state 1) waiting: not taken for the restart, and the return is
        # seen at the next question, not after a long reply wait
        dev = FakeUpgradeDevice(down=1.5)
        with Link("127.0.0.1", dev.port, sport=0) as link:
            job = upgrade.Upgrade(link, self.ARCHIVE, reply_timeout=0.3, announce_timeout=2)
            job.run()
            began = time.monotonic()
            self.assertEqual(job.wait_restart(10), "restarted")
            took = time.monotonic() - began
        dev.stop = True
        self.assertGreaterEqual(took, 1.4)
        self.assertLess(took, 1.5 + 1.5)

    def test_refusals_and_silence(self):
        dev = FakeUpgradeDevice()
        dev.state, dev.restarts = 2, False
        with Link("127.0.0.1", dev.port, sport=0) as link:
            with self.assertRaises(Refused):
                upgrade.Upgrade(link, self.ARCHIVE).run()
            # a burner that does not restart: said, not waited for for ever
            self.assertEqual(upgrade.Upgrade(link, self.ARCHIVE).wait_restart(1.5), "burning")
            with self.assertRaises(Refused):
                upgrade.Upgrade(link, b"tiny").run()
        dev.stop = True
        silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        silent.bind(("127.0.0.1", 0))
        with Link("127.0.0.1", silent.getsockname()[1], sport=0) as link:
            with self.assertRaises(NoReply):
                upgrade.Upgrade(link, self.ARCHIVE, reply_timeout=0.1).run()
        silent.close()


class SharedSocket(unittest.TestCase):
    """The hub's links (fleet, lineup) share one socket: each device's
    datagrams reach its own link only, and the upgrade's recovery from lost
    replies works over them as over a link of its own."""

    def test_two_upgrades_through_one_hub(self):
        devs = [FakeUpgradeDevice(drop_reply=[4], host="127.0.0.2"),
                FakeUpgradeDevice(drop_request=[7], delay=[2], host="127.0.0.3")]
        results = {}
        with Hub(sport=0) as hub:
            def one(dev):
                link = hub.link("127.0.0.%d" % (2 + devs.index(dev)), dev.port)
                job = upgrade.Upgrade(link, Upgrade.ARCHIVE, reply_timeout=0.3,
                                      announce_timeout=2)
                results[dev.port] = (job.run(), job.wait_restart(5),
                                     link.request("VERS", 2, accept=lambda d: True))
            threads = [threading.Thread(target=one, args=(d,)) for d in devs]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
        for dev in devs:
            dev.stop = True
            sent, state, vers = results[dev.port]
            self.assertEqual(bytes(dev.archive), Upgrade.ARCHIVE)
            self.assertEqual((sent["restarts"], dev.announcements, state, vers),
                             (1, 2, "restarted", b"VERS0.82.14OK\r\n"))

    def test_replies_go_to_their_device_link(self):
        a, b = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
        a.bind(("127.0.0.2", 0))
        b.bind(("127.0.0.3", 0))
        with Hub(sport=0) as hub:
            la, lb = hub.link("127.0.0.2", a.getsockname()[1]), hub.link("127.0.0.3",
                                                                         b.getsockname()[1])
            la.send("VERS")
            _, ctl = a.recvfrom(100)
            self.assertEqual(ctl[1], hub.sport)
            b.sendto(b"from b", ctl)
            a.sendto(b"LOG: unsolicited", ctl)
            a.sendto(b"from a", ctl)
            deadline = time.monotonic() + 2
            self.assertEqual((la.next(deadline), lb.next(deadline)), (b"from a", b"from b"))
            a.sendto(b"stale", ctl)
            time.sleep(0.3)             # the hub's thread has queued it
            la.drain()
            self.assertIsNone(la.next(time.monotonic() + 0.3))
            la.close()                  # a link's close leaves the hub's socket open
            lb.send("still open")
            self.assertEqual(b.recvfrom(100)[0], b"still open")
        a.close()
        b.close()


class HostNames(unittest.TestCase):
    def test_names_from_the_hosts_file(self):
        with tempfile.NamedTemporaryFile("w", suffix=".hosts") as f:
            f.write("# the world\n10.77.0.2 tx\n10.77.0.32\ttx2 tx2.lan # second\n"
                    "::1 localhost\n10.77.0.2 other\n999.1.1.1 bad\n#10.77.0.3 rx\n")
            f.flush()
            self.assertEqual(hub.host_names(f.name), {"10.77.0.2": "tx", "10.77.0.32": "tx2"})
        self.assertEqual(hub.host_names("/nonexistent/hosts"), {})


class FakeScanner(threading.Thread):
    """A transmitter's scan on loopback: BLIND0 starts it, one line every
    0.25 s from `lines`, SCA? and STATUS answered, BLIND99 answered OK and
    the scan ends at the next line.  refuse: BLIND0 answered
    "BLINDSTART:0 KO"."""

    def __init__(self, lines=(), refuse=False, silent=False):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.lines, self.refuse, self.silent = list(lines), refuse, silent
        self.got = []
        self.stop = False
        self.start()

    def run(self):
        self.sock.settimeout(0.25)
        peer, pending, stopped = None, [], False
        while not self.stop:
            try:
                data, peer = self.sock.recvfrom(4096)
                self.got.append(data)
            except socket.timeout:
                data = None
            if self.silent or peer is None:
                continue
            if data == b"BLIND0":
                pending = [b"BLINDSTART:0 KO\r\n"] if self.refuse else \
                    [b"BLINDSTART:0 OK\r\n"] + self.lines + [b"BLINDCMP:0 OK\r\n"]
            elif data == b"BLIND99":
                self.sock.sendto(b"OK\r\n", peer)
                stopped = True
            elif data == b"SCA?":
                self.sock.sendto(b"\x00\x07\x01\x02", peer)
            elif data == b"STATUS":
                self.sock.sendto(b'STATUS 0 0 0.0.0.0:0 0:0:00:[] F:QAM64 E:0 C:"NO CAM" 3% OK'
                                 b'\r\n', peer)
            elif data is None and pending:
                if stopped:
                    pending = pending[-1:]
                self.sock.sendto(pending.pop(0), peer)
        self.sock.close()


class FollowScan(unittest.TestCase):
    """The scan loop the command line and the console share."""

    def follow(self, dev, state=None, **kw):
        state = state or progress.ScanProgress(2, 69)
        with Link("127.0.0.1", dev.port, sport=0) as link:
            link.send("BLIND0")
            try:
                return state, progress.follow_scan(link, state, kw.pop("start", 2.0), 2.0, **kw)
            finally:
                dev.stop = True

    def test_a_whole_scan_and_a_stop(self):
        dev = FakeScanner([b"BLINDLOCK:5 OK\r\n", b"BLINDFND:3 OK\r\n"] +
                          [b"BLINDLOCK:%d OK\r\n" % c for c in (9, 13, 20)])
        updates = []
        state, stopped = self.follow(dev, on_update=lambda: updates.append(1))
        self.assertEqual((state.state, stopped, state.locked, state.found),
                         ("done", False, [5, 9, 13, 20], {5: 3}))
        self.assertGreaterEqual(len(updates), 7)
        self.assertIn(b"SCA?", dev.got)         # polled while it ran
        # a stop asked after the first lock: BLIND99 once, and the scan ends
        dev = FakeScanner([b"BLINDLOCK:%d OK\r\n" % c for c in range(3, 40)])
        state = progress.ScanProgress(2, 69)
        state, stopped = self.follow(dev, state, stop_wanted=lambda: bool(state.locked))
        self.assertEqual((state.state, stopped, dev.got.count(b"BLIND99")), ("done", True, 1))
        self.assertLess(len(state.locked), 10)

    def test_ctrl_c_stops_then_interrupts(self):
        dev = FakeScanner([b"BLINDLOCK:%d OK\r\n" % c for c in range(3, 40)])
        calls = []

        def update():
            calls.append("update")
            raise KeyboardInterrupt
        with self.assertRaises(KeyboardInterrupt):   # the second Ctrl-C
            self.follow(dev, on_update=update, on_interrupt=lambda: calls.append("stop"))
        self.assertEqual(calls, ["update", "stop", "update"])
        self.assertEqual(dev.got.count(b"BLIND99"), 1)
        # without on_interrupt (the console), the first Ctrl-C is not taken
        dev = FakeScanner([b"BLINDLOCK:3 OK\r\n"])
        with self.assertRaises(KeyboardInterrupt):
            self.follow(dev, on_update=update)
        self.assertNotIn(b"BLIND99", dev.got)

    def test_refused_and_silent(self):
        with self.assertRaisesRegex(Refused, "refused the scan"):
            self.follow(FakeScanner(refuse=True))
        began = time.monotonic()
        with self.assertRaisesRegex(progress.ScanNotStarted, "no BLINDSTART within 0.5s"):
            self.follow(FakeScanner(silent=True), start=0.5)
        self.assertLess(time.monotonic() - began, 1.5)


class LineupScan(unittest.TestCase):
    """The lineup's scan of a transmitter without a channel list goes
    through the same loop, bounded by the lineup's scan time."""

    def scan(self, dev, timeout):
        err = io.StringIO()
        with Link("127.0.0.1", dev.port, sport=0) as link, contextlib.redirect_stderr(err):
            try:
                lineup.scan(link, "tx2", timeout, ask_timeout=2.0)
            finally:
                dev.stop = True
        return err.getvalue()

    def test_whole_scan_stopped_scan_and_refusal(self):
        dev = FakeScanner([b"BLINDLOCK:5 OK\r\n", b"BLINDFND:3 OK\r\n"])
        self.assertIn("tx2 has no channel list", self.scan(dev, 30.0))
        self.assertEqual(dev.got[:2], [b"STATUS", b"BLIND0"])
        self.assertNotIn(b"BLIND99", dev.got)
        # past its time the scan is stopped, once, and the lineup told so
        dev = FakeScanner([b"BLINDLOCK:%d OK\r\n" % c for c in range(3, 40)])
        with self.assertRaisesRegex(NoReply, "tx2: the scan did not end within 0.6s"):
            self.scan(dev, 0.6)
        self.assertEqual(dev.got.count(b"BLIND99"), 1)
        with self.assertRaisesRegex(Refused, "tx2 refused the scan"):
            self.scan(FakeScanner(refuse=True), 30.0)


class CommandLine(unittest.TestCase):
    """Hostile replies through the whole tool: one line, an exit status."""

    def run_against(self, reply, *args, timeout=5):
        dev = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        dev.bind(("127.0.0.1", 0))
        port = dev.getsockname()[1]

        def answer():
            dev.settimeout(5)
            try:
                while True:
                    data, addr = dev.recvfrom(4096)
                    for r in reply(data):
                        dev.sendto(r, addr)
            except (socket.timeout, OSError):
                pass
        t = threading.Thread(target=answer, daemon=True)
        t.start()
        r = subprocess.run([sys.executable, os.path.join(PLATFORM, "vyxctl"), args[0],
                            "127.0.0.1:%d" % port] + list(args[1:])
                           + ["--sport", "0", "--timeout", str(timeout)],
                           capture_output=True, text=True, timeout=30)
        dev.close()
        self.assertNotIn("Traceback", r.stderr)
        return r

    def test_errors_and_statuses(self):
        junk = self.run_against(lambda d: [b"\xffjunk\x00"], "status")
        self.assertEqual(junk.returncode, 4)
        self.assertRegex(junk.stderr, r"^vyxctl: VERS: unexpected reply \\xffjunk\\0\n$")
        cut = self.run_against(lambda d: [scal_line(131, 1, 3, 5, 5, 2, 0x81, "C", name_a="A")],
                               "channels", timeout=1)
        self.assertEqual(cut.returncode, 4)
        self.assertIn("without its end mark", cut.stderr)
        ko = self.run_against(lambda d: [b"KO\r\n"], "play", "239.1.1.1:1234", "2")
        self.assertEqual((ko.returncode, ko.stderr), (1, "vyxctl: play: the device refused\n"))
        none = self.run_against(lambda d: [], "reset", timeout=1)
        self.assertEqual(none.returncode, 3)
        ok = self.run_against(lambda d: [b"STATUS 1 239.1.1.1:1234 5:0002 1 3 0 0 40%OK\r\n"]
                              if d == b"STATUS" else [b"VERS0.82.14OK\r\n"] if d == b"VERS" else
                              [b"DHCP:1 MAC:027700000003 IP:10.77.0.3 GW:10.77.0.1 "
                               b"NM:255.255.255.0 OK\r\n"], "status", "--json")
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertIn('"program": 2', ok.stdout)
        no_ip = self.run_against(lambda d: [b"STATUS 1 239.1.1.1:1234 5:0002 1 3 0 0 40%OK\r\n"]
                                 if d == b"STATUS" else [b"VERS0.82.14OK\r\n"] if d == b"VERS"
                                 else [b"KO\r\n"], "status")
        self.assertEqual(no_ip.returncode, 1)
        self.assertIn("playing   239.1.1.1:1234 program 2", no_ip.stdout)
        self.assertIn("could not read its network settings", no_ip.stderr)
        usage = subprocess.run([sys.executable, os.path.join(PLATFORM, "vyxctl"), "stream"],
                               capture_output=True, text=True)
        self.assertEqual(usage.returncode, 2)

    def test_every_subcommand_has_help(self):
        # A help text that argparse cannot format (a stray %) only shows when
        # someone asks for it: ask for all of them.
        sub = next(a for a in cli.build_parser("doc")._actions
                   if isinstance(a, argparse._SubParsersAction))
        self.assertGreater(len(sub.choices), 15)
        # In this process (a process each took half the file's time).
        for name in sub.choices:
            out, err = io.StringIO(), io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                with self.assertRaises(SystemExit) as end:
                    cli.main(argv=[name, "--help"])
            self.assertEqual((name, end.exception.code, err.getvalue()), (name, 0, ""))
            self.assertIn("--json", out.getvalue(), name)
            self.assertIn("exit status", out.getvalue().lower(), name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
