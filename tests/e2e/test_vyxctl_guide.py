#!/usr/bin/env python3
"""`vyxctl guide` against a transmitter streaming from the WNET capture
(channel 3): now/next of the three programs decoded from the device's EITI lines,
and the XMLTV file valid against the XMLTV DTD with those programmes; then
the same from the generated multiplex with Huffman-coded texts (channel 5).
Runs under `devsim run --tx --channel 3=...atsc-wnet13-psip.ts --channel
5=<build>/tests/guide-huffman.ts`."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from vyxe2e import DeviceTestCase, main, poll

DTD = "/usr/share/xmltv/xmltv.dtd"


def vyxctl(*args, timeout=120):
    return subprocess.run(["vyxctl", *args], capture_output=True, text=True, timeout=timeout)


class Guide(DeviceTestCase):
    @classmethod
    def setUpClass(cls):
        # the channel list of channel 3, and the tuner left there
        r = vyxctl("scan", "tx", "--channel", "3", "--quiet")
        if r.returncode != 0:
            raise AssertionError("scan: %s" % r.stderr)
        # streaming keeps the filter reading the channel's tables, the guide's too
        r = vyxctl("stream", "tx", "13.1", "--to", "239.1.1.1:1234")
        if r.returncode != 0:
            raise AssertionError("stream: %s" % r.stderr)

    @classmethod
    def tearDownClass(cls):
        vyxctl("stream", "tx", "--stop")
        super().tearDownClass()

    def guide(self, *args):
        r = vyxctl("guide", "tx", *args, "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def test_now_next(self):
        # the filter reads the guide tables once the tuner stays on the channel
        def now_next():
            got = self.guide()["guide"]
            return got if got and got[0]["events"] else None
        got = poll(now_next, 60, "now/next of 13.1", interval=1.0)
        self.assertEqual([(g["channel"]["virtual"], [(e["start"], e["minutes"], e["title"]["text"])
                                                     for e in g["events"]]) for g in got],
                         [("13.1", [("2017-02-15T12:30:00Z", 30, "Ready Jet Go!"),
                                    ("2017-02-15T13:00:00Z", 30, "Nature Cat")]),
                          ("13.2", [("2017-02-15T12:30:00Z", 30, "WordGirl"),
                                    ("2017-02-15T13:00:00Z", 30, "Arthur")]),
                          ("13.3", [("2017-02-15T12:30:00Z", 15, "My Animal Friends (V-Me)"),
                                    ("2017-02-15T12:45:00Z", 15, "Mouk (V-Me)")])])

    def test_period_as_xmltv(self):
        def period():
            got = self.guide("--hours", "3")["guide"]
            return got if len(got[0]["events"]) == 7 else None
        got = poll(period, 60, "three hours of 13.1", interval=1.0)
        # the list ends with the event that takes it past the 180 minutes
        self.assertEqual([e["title"]["text"] for e in got[0]["events"]][-2:],
                         ["Splash and Bubbles", "Thomas & Friends"])
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "guide.xml")
            r = vyxctl("guide", "tx", "--hours", "3", "--xmltv", path)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("tuner channel 3", r.stderr)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            self.assertEqual(text.count("<programme "), sum(len(g["events"]) for g in got))
            self.assertIn('<programme start="20170215153000 +0000" stop="20170215160000 +0000" '
                          'channel="13-1.vyx">\n    <title>Thomas &amp; Friends</title>', text)
            self.assertIn("<display-name>WNET-HD</display-name>", text)
            self.valid(path)

    def test_xmltv_of_huffman_coded_titles(self):
        # Runs last (by name): it moves the tuner to channel 5, the generated
        # multiplex whose titles and descriptions are Huffman-coded.
        r = vyxctl("scan", "tx", "--channel", "5", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = vyxctl("stream", "tx", "20.1", "--to", "239.1.1.1:1234")
        self.assertEqual(r.returncode, 0, r.stderr)

        def period():
            got = self.guide("--hours", "2")["guide"]
            titles = {g["channel"]["name"]: [e["title"]["text"] for e in g["events"]] for g in got}
            return titles if len(titles.get("GUIDE-1", [])) >= 3 else None
        titles = poll(period, 60, "two hours of 20.1", interval=1.0)
        self.assertEqual(titles["GUIDE-1"],
                         ["Morning News", "Cook ~ with [Ana] {live}", 'Movie: "Q&A" 2*'])
        self.assertEqual(titles["GUIDE-2"], ["Kids Block", "Science Hour"])
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "guide.xml")
            r = vyxctl("guide", "tx", "--hours", "2", "--xmltv", path)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            self.assertIn('<programme start="20210317090000 +0000" stop="20210317103000 +0000" '
                          'channel="20-1.vyx">\n    <title>Movie: "Q&amp;A" 2*</title>\n'
                          '    <desc>A film about questions; 1999 (R).</desc>', text)
            self.assertIn("<title>Cook ~ with [Ana] {live}</title>", text)
            self.assertIn("<desc>Volcanoes &amp; oceans!</desc>", text)
            self.valid(path)

    def valid(self, path):
        if not (shutil.which("xmllint") and os.path.exists(DTD)):
            raise unittest.SkipTest("xmllint or the XMLTV DTD missing (xmltv-util)")
        v = subprocess.run(["xmllint", "--noout", "--dtdvalid", DTD, path],
                           capture_output=True, text=True)
        self.assertEqual(v.returncode, 0, v.stderr)


if __name__ == "__main__":
    main()
