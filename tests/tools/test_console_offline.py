#!/usr/bin/env python3
"""`vyxctl serve` without devices: the lineup file's checks, the placement
of channels on transmitters, the stream health counter, and the HTTP
server's gate (token, actions only from its own page, wrong input refused
before anything is sent).  Standard library only."""

import json
import os
import re
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "vyxctl_pkg"))

from vyxctl import console_http  # noqa: E402
from vyxctl import console_lineup  # noqa: E402
from vyxctl.wire import LocalError  # noqa: E402


class LineupFile(unittest.TestCase):
    def test_wrong_files_are_refused_with_the_channel_named(self):
        cases = [("[1", "not JSON"),
                 ('{"channels": {}}', '"channels" list'),
                 ('[{"to": "239.1.1.1:1"}]', '"channels" list'),
                 ('{"channels": [{"channel": "13.1", "to": "10.0.0.1:1"}]}',
                  "not a multicast group")]
        for text, why in cases:
            with self.subTest(text=text):
                with self.assertRaises(console_lineup.LineupError) as e:
                    console_lineup.parse_lineup(text)
                self.assertIn(why, str(e.exception))

    def test_save_keeps_the_old_file_when_the_new_one_is_wrong(self):
        with tempfile.TemporaryDirectory() as d:
            f = console_lineup.LineupFile(os.path.join(d, "l.json"))
            good = '{"channels": [{"channel": "13.1", "to": "239.1.1.1:1234", "lang": "spa"}]}'
            self.assertEqual(f.save(good)["channels"][0]["lang"], "spa")
            with self.assertRaises(console_lineup.LineupError):
                f.save('{"channels": [{"channel": "13.1"}]}')
            self.assertEqual(f.read().strip(), good)


class PlanAsShown(unittest.TestCase):
    def test_placed_channels_in_lineup_order_with_their_source(self):
        lineup = {"transmitters": {
            "tx2": {"tuner": 5, "transport_id": 2, "lang": None, "streams": [
                {"index": 3, "ref": "20.1", "group": "239.1.1.3", "port": 1234, "slot": 1,
                 "transmitter": "tx2", "lang": None, "name": None,
                 "entry": {"virtual": "20.1", "name": "G1", "transport_id": 2, "program": 1}}]},
            "tx1": {"tuner": 3, "transport_id": 1, "lang": "spa", "streams": [
                {"index": 1, "ref": "13.1", "group": "239.1.1.1", "port": 1234, "slot": 2,
                 "transmitter": "tx1", "lang": "spa", "name": None,
                 "entry": {"virtual": "13.1", "name": "A", "transport_id": 1, "program": 3}}]}},
            "unplaced": [{"channel": {"index": 2, "ref": "99.1"}, "reason": "nowhere"}]}
        shown = console_lineup.flatten(lineup)
        self.assertEqual([(p["index"], p["transmitter"], p["slot"], p["label"])
                          for p in shown["placed"]],
                         [(1, "tx1", 2, "13.1 A"), (3, "tx2", 1, "20.1 G1")])
        self.assertEqual(shown["unplaced"], [{"index": 2, "channel": "99.1", "reason": "nowhere"}])
        self.assertEqual(console_lineup.m3u(shown["placed"]).splitlines()[1:3],
                         ['#EXTINF:-1 tvg-id="13-1.vyx" tvg-name="A" tvg-chno="13.1",13.1 A',
                          "udp://@239.1.1.1:1234"])

    def test_exports_name_channels_alike(self):
        # two multiplexes with transport id 1 (tuner channels 5 and 7): the
        # playlist's tvg-ids are the guide's channel ids, one each
        def placed(i, tx, tuner, name):
            src = {"virtual": "", "name": "", "transport_id": 1, "program": 1,
                   "tuner_channel": tuner}
            return {"index": i, "channel": "1:1", "transmitter": tx, "name": name,
                    "group": "239.1.1.%d" % i, "port": 1234, "source": src}
        shown = [placed(1, "tx", 5, "A"), placed(2, "tx2", 7, "D")]
        event = {"start": "2021-03-17T07:30:00Z", "stop": "2021-03-17T08:30:00Z",
                 "title": {"text": "News"}, "description": {"text": ""}}
        guide_data = [{"device": "tx2", "channels": [
            {"channel": dict(shown[1]["source"]), "events": [event]}]}]
        ids = re.findall(r'tvg-id="([^"]+)"', console_lineup.m3u(shown))
        xml = console_lineup.xmltv(console_lineup.guide_of(shown, guide_data))
        self.assertEqual(ids, ["1-1.c5.vyx", "1-1.c7.vyx"])
        self.assertEqual(re.findall(r'<channel id="([^"]+)"', xml), ids)
        self.assertEqual(re.findall(r'programme .* channel="([^"]+)"', xml), ["1-1.c7.vyx"])
        self.assertIn("<display-name>D</display-name>", xml)


class Server(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.server = console_http.make_server("127.0.0.1:0", "s3cret", [],
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
                                ("/api/lineup", {"text": '{"channels": [{}]}'}, '"channel" (13.1'),
                                ("/api/lineup/plan", {}, None),
                                ("/api/upgrade?role=receiver&parallel=0", {}, "parallel")):
            with self.subTest(path=path):
                status, reply, _ = self.call(path, body, page)
                if why is None:         # an empty lineup plans to nothing, with no device asked
                    self.assertEqual((status, json.loads(reply)["placed"]), (200, []))
                else:
                    self.assertEqual(status, 400)
                    self.assertIn(why, json.loads(reply)["error"])

    def test_without_a_token_only_this_machines_names(self):
        server = console_http.make_server("127.0.0.1:0", None, [], "l.json", start=False)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            base = "http://127.0.0.1:%d" % server.server_address[1]
            for host, status in (("127.0.0.1:80", 200), ("localhost", 200),
                                 ("evil.example:8080", 403)):
                req = urllib.request.Request(base + "/api/devices", headers={"Host": host})
                try:
                    with urllib.request.urlopen(req, timeout=10) as r:
                        got = r.status
                except urllib.error.HTTPError as e:
                    got = e.code
                self.assertEqual(got, status, host)
        finally:
            server.shutdown()
            server.server_close()

    def test_listening_beyond_this_machine_needs_a_token(self):
        with self.assertRaises(LocalError):
            console_http.make_server("0.0.0.0:0", None, [], "l.json", start=False)
        with self.assertRaises(LocalError):
            console_http.make_server("127.0.0.1:0", "", [], "l.json", start=False)


if __name__ == "__main__":
    unittest.main(verbosity=2)
