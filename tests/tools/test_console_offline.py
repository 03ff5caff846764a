#!/usr/bin/env python3
"""`vyxctl serve` without devices: the lineup file's checks, the placement
of channels on transmitters, the stream health counter, and the HTTP
server's gate (token, actions only from its own page, wrong input refused
before anything is sent).  Standard library only."""

import json
import os
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "vyxctl_pkg"))

from vyxctl import console  # noqa: E402
from vyxctl import console_lineup as lineup  # noqa: E402
from vyxctl.wire import LocalError  # noqa: E402


def ch(virtual, name, tsid, program, tuner):
    return {"virtual": virtual, "name": name, "transport_id": tsid, "program": program,
            "tuner_channel": tuner}


def entry(name, n, tuner=None):
    return {"index": n, "channel": name, "group": "239.1.1.%d" % n, "port": 1234,
            "lang": None, "tuner": tuner}


class LineupFile(unittest.TestCase):
    def test_wrong_files_are_refused_with_the_channel_named(self):
        cases = [("[1", "not JSON"),
                 ('{"channels": {}}', "expected"),
                 ('[{"to": "239.1.1.1:1"}]', '"channel"'),
                 ('[{"channel": "13.1", "to": "10.0.0.1:1"}]', "not a multicast group"),
                 ('[{"channel": "13.1", "to": "239.1.1.1:99999"}]', "port out of range"),
                 ('[{"channel": "a", "to": "239.1.1.1:1"}, {"channel": "b", "to": '
                  '"udp://@239.1.1.1:1"}]', "channel 2 (b): 239.1.1.1:1 is already channel 1"),
                 ('[{"channel": "a", "to": "239.1.1.1:1", "lang": "EN"}]', "lang"),
                 ('[{"channel": "1:2", "to": "239.1.1.1:1", "tuner": 0}]', "tuner")]
        for text, why in cases:
            with self.subTest(text=text):
                with self.assertRaises(lineup.LineupError) as e:
                    lineup.parse_lineup(text)
                self.assertIn(why, str(e.exception))

    def test_save_keeps_the_old_file_when_the_new_one_is_wrong(self):
        with tempfile.TemporaryDirectory() as d:
            f = lineup.LineupFile(os.path.join(d, "l.json"))
            good = '{"channels": [{"channel": "13.1", "to": "239.1.1.1:1234", "lang": "spa"}]}'
            self.assertEqual(f.save(good)[0]["lang"], "spa")
            with self.assertRaises(lineup.LineupError):
                f.save('{"channels": [{"channel": "13.1"}]}')
            self.assertEqual(f.read().strip(), good)


class Placement(unittest.TestCase):
    def test_one_tuner_channel_per_transmitter_and_seven_streams(self):
        lists = {"tx1": [ch("13.%d" % i, "A%d" % i, 1, i, 3) for i in range(1, 10)] +
                        [ch("20.1", "G1", 2, 1, 5)],
                 "tx2": [ch("20.1", "G1", 2, 1, 5), ch("20.2", "G2", 2, 2, 5)]}
        entries = [entry("13.%d" % i, i) for i in range(1, 9)] + \
                  [entry("g2", 9), entry("20.1", 10), entry("99.1", 11), entry("2:1", 12, tuner=7)]
        got = lineup.plan(entries, lists)
        placed = {p["index"]: (p["transmitter"], p["slot"]) for p in got["placed"]}
        self.assertEqual(placed, {1: ("tx1", 1), 2: ("tx1", 2), 3: ("tx1", 3), 4: ("tx1", 4),
                                  5: ("tx1", 5), 6: ("tx1", 6), 7: ("tx1", 7),
                                  9: ("tx2", 1), 10: ("tx2", 2)})
        reasons = {u["index"]: u["reason"] for u in got["unplaced"]}
        self.assertIn("full", reasons[8])
        self.assertIn("no transmitter", reasons[11])
        self.assertIn("no transmitter", reasons[12])      # 2:1 is on tuner channel 5, not 7
        self.assertEqual(lineup.unit4(got["placed"][7]), "UNIT4,1,239.1.1.9,1234,5,2,2")

    def test_a_running_slot_is_recognised_only_when_everything_matches(self):
        p = dict(entry("13.1", 1), slot=2, source=ch("13.1", "A", 1, 3, 3))
        running = {"id": 2, "active": True, "group": "239.1.1.1", "port": 1234, "programs": [3]}
        self.assertTrue(lineup.already_running(p, {"streams": [running]}))
        for change in ({"port": 1235}, {"programs": [4]}, {"active": False}, {"id": 3}):
            self.assertFalse(lineup.already_running(p, {"streams": [dict(running, **change)]}))


def packet(pid, cc, payload=b"", start=False):
    head = bytes([0x47, (0x40 if start else 0) | pid >> 8, pid & 0xFF, 0x10 | cc])
    return head + payload + b"\xff" * (188 - 4 - len(payload))


class Health(unittest.TestCase):
    def test_continuity_and_pat(self):
        pat = bytes([0, 0, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 7, 0xE1, 0x00, 0, 0, 0, 0])
        c = lineup.StreamCounter()
        c.feed(packet(0, 0, pat, start=True) + packet(0x100, 5) + packet(0x100, 6))
        c.feed(packet(0x100, 6) + packet(0x1FFF, 3))      # a repeat and padding: no error
        self.assertEqual((c.datagrams, c.packets, c.cc_errors, c.pat_programs), (2, 5, 0, [7]))
        c.feed(packet(0x100, 9) + b"\x00" * 188)          # a jump and a lost sync byte
        self.assertEqual(c.cc_errors, 2)


class Server(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.server = console.make_server("127.0.0.1:0", "s3cret", [],
                                         os.path.join(cls.dir.name, "l.json"), start=False)
        cls.base = "http://127.0.0.1:%d" % cls.server.server_address[1]
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()
        cls.dir.cleanup()

    def call(self, path, body=None, headers=None):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, r.read(), r.headers
        except urllib.error.HTTPError as e:
            return e.code, e.read(), e.headers

    def test_the_token_is_asked_on_every_request(self):
        self.assertEqual(self.call("/")[0], 401)
        self.assertEqual(self.call("/api/devices", headers={"X-Vyx-Token": "wrong"})[0], 401)
        status, _, headers = self.call("/?token=s3cret")
        self.assertEqual(status, 200)
        cookie = headers["Set-Cookie"].split(";")[0]
        self.assertEqual(self.call("/console.js", headers={"Cookie": cookie})[0], 200)
        self.assertEqual(self.call("/api/devices", headers={"X-Vyx-Token": "s3cret"})[1],
                         b'{"devices": []}')

    def test_actions_only_from_the_page_and_checked_before_sending(self):
        auth = {"X-Vyx-Token": "s3cret"}
        status, body, _ = self.call("/api/rooms/lang", {"device": "x", "lang": "eng"}, auth)
        self.assertEqual(status, 403)
        page = dict(auth, **{"X-Vyx-Console": "1"})
        for path, body, why in (("/api/scan", {"device": "1.2.3.4:5000", "mode": "atsc"},
                                 "no device"),
                                ("/api/lineup", {"text": "[{}]"}, '"channel"'),
                                ("/api/lineup/plan", {}, None),
                                ("/api/upgrade?role=receiver&parallel=0", {}, "parallel")):
            with self.subTest(path=path):
                status, reply, _ = self.call(path, body, page)
                if why is None:         # an empty lineup plans to nothing, with no device asked
                    self.assertEqual((status, json.loads(reply)["placed"]), (200, []))
                else:
                    self.assertEqual(status, 400)
                    self.assertIn(why, json.loads(reply)["error"])

    def test_listening_beyond_this_machine_needs_a_token(self):
        with self.assertRaises(LocalError):
            console.make_server("0.0.0.0:0", None, [], "l.json", start=False)
        with self.assertRaises(LocalError):
            console.make_server("127.0.0.1:0", "", [], "l.json", start=False)


if __name__ == "__main__":
    unittest.main(verbosity=2)
