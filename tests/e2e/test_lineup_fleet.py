#!/usr/bin/env python3
"""A small head-end: two transmitters and four receivers.  A lineup file is
planned (an unknown channel reported), applied on both transmitters and
verified; its M3U is read back and its XMLTV checked against the DTD; the
same file applied again changes nothing on the devices (STATUS the same, a
recording across the re-run unbroken); one changed channel restarts only
its stream.  Then the fleet: one status table of the six devices, the
receivers upgraded while one receiver's agent is stopped (that one
reported failed, the others upgraded and answering VERS again), and two
receivers told to play a lineup channel.  Runs under with_lineup_streams.sh
with `devsim run --tx 2 --rx 4`."""

import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading

from vyxe2e import DeviceTestCase, device, main, read_jsonl, standin_pid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "vyxctl_pkg"))
from vyxctl import tscheck  # noqa: E402

DTD = "/usr/share/xmltv/xmltv.dtd"
LINEUP = [
    {"channel": "1:1", "tuner": 5, "to": "239.10.0.1:1234", "name": "Alpha"},
    {"channel": "1:2", "tuner": 5, "to": "239.10.0.2:1234", "name": "Beta", "lang": "fra"},
    {"channel": "1:3", "tuner": 7, "to": "239.10.0.3:1234", "name": "Gamma"},
    {"channel": "1:1", "tuner": 7, "to": "239.10.0.4:1234", "name": "Delta"},
]


def vyxctl(*args, timeout=300):
    return subprocess.run(["vyxctl", *args], capture_output=True, text=True, timeout=timeout)


def vyxctl_json(*args, status=0, timeout=300):
    r = vyxctl(*args, "--json", timeout=timeout)
    if r.returncode != status:
        raise AssertionError("vyxctl %s: exit %d, not %d: %s"
                             % (" ".join(args), r.returncode, status, r.stderr))
    return json.loads(r.stdout)


def tx_status(host):
    st = vyxctl_json("status", host)
    return [(s["id"], s["group"], s["port"], s["programs"]) for s in st["streams"]]


class HeadEnd(DeviceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.file = cls.write("hotel.json", LINEUP)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)
        super().tearDownClass()

    @classmethod
    def write(cls, name, channels):
        path = os.path.join(cls.dir, name)
        with open(path, "w") as f:
            json.dump({"transmitters": ["tx", "tx2"], "channels": channels}, f)
        return path

    def apply(self, path):
        m3u, xml = os.path.join(self.dir, "out.m3u"), os.path.join(self.dir, "out.xml")
        got = vyxctl_json("lineup", "apply", path, "--m3u", m3u, "--xmltv", xml)
        self.assertEqual(got["failed"], {})
        with open(path) as f:
            wanted = json.load(f)["channels"]
        self.assertEqual([(v["channel"], v["ok"]) for v in got["verified"]],
                         [(c["channel"], True) for c in wanted],
                         [v["reasons"] for v in got["verified"]])
        return got, m3u, xml

    def test_1_plan_places_both_transmitters_and_reports_unknown(self):
        path = self.write("plan.json", LINEUP + [{"channel": "99.9", "to": "239.10.0.9:1234"}])
        plan = vyxctl_json("lineup", "plan", path, status=1)
        placed = {tx: [(s["channel"], s["group"]) for s in p["streams"]]
                  for tx, p in plan["transmitters"].items()}
        self.assertEqual(placed, {"tx": [("1:1", "239.10.0.1"), ("1:2", "239.10.0.2")],
                                  "tx2": [("1:3", "239.10.0.3"), ("1:1", "239.10.0.4")]})
        self.assertEqual((plan["transmitters"]["tx"]["tuner"], plan["transmitters"]["tx"]["lang"],
                          plan["transmitters"]["tx2"]["tuner"]), (5, "fra", 7))
        self.assertEqual([(u["channel"], u["reason"]) for u in plan["unplaced"]],
                         [("99.9", "not in any transmitter's channel list")])

    def test_2_apply_verify_exports_and_idempotence(self):
        got, m3u, xml = self.apply(self.file)
        self.assertEqual(sorted(got["sent"]), ["tx", "tx2"])
        self.assertTrue(got["sent"]["tx"] and got["sent"]["tx2"])
        with open(m3u) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "#EXTM3U")
        entries = list(zip(lines[1::2], lines[2::2]))
        self.assertEqual([u for _, u in entries], ["udp://@%s" % c["to"] for c in LINEUP])
        self.assertEqual([e.split('tvg-name="')[1].split('"')[0] for e, _ in entries],
                         [c["name"] for c in LINEUP])
        self.assertTrue(all('tvg-id="' in e and 'tvg-chno="' in e for e, _ in entries))
        # Alpha and Delta are both 1:1 of a transport 1 (tuner channels 5
        # and 7): each its own id, the same in both files
        ids = [e.split('tvg-id="')[1].split('"')[0] for e, _ in entries]
        self.assertEqual(len(set(ids)), len(LINEUP), ids)
        with open(xml) as f:
            self.assertEqual(re.findall(r'<channel id="([^"]+)"', f.read()), ids)
        if shutil.which("xmllint") and os.path.exists(DTD):
            v = subprocess.run(["xmllint", "--noout", "--dtdvalid", DTD, xml],
                               capture_output=True, text=True)
            self.assertEqual(v.returncode, 0, v.stderr)
        else:
            print("xmllint or the XMLTV DTD missing (xmltv-util): DTD check skipped")

        before = {h: tx_status(h) for h in ("tx", "tx2")}
        rec = {}
        t = threading.Thread(target=lambda: rec.update(
            data=tscheck.record("239.10.0.1", 1234, 8.0)))
        t.start()
        again, _, _ = self.apply(self.file)
        t.join()
        self.assertEqual(again["sent"], {"tx": [], "tx2": []})
        self.assertEqual({h: tx_status(h) for h in ("tx", "tx2")}, before)
        data, count, _ = rec["data"]
        check = tscheck.check(data, 1, 8.0, count)
        self.assertTrue(check["ok"], check["reasons"])

        changed = [dict(c) for c in LINEUP]
        changed[2]["to"] = "239.10.0.33:1234"
        got, _, _ = self.apply(self.write("changed.json", changed))
        self.assertEqual(got["sent"]["tx"], [])
        self.assertEqual(len(got["sent"]["tx2"]), 1, got["sent"])
        self.assertEqual(tx_status("tx"), before["tx"])
        after = dict((s[0], s) for s in tx_status("tx2"))
        gamma = [s for s in before["tx2"] if s[1] == "239.10.0.3"][0]
        self.assertEqual(after[gamma[0]][1], "239.10.0.33")
        self.assertEqual([s for s in before["tx2"] if s != gamma],
                         [s for s in tx_status("tx2") if s[0] != gamma[0]])

    def test_3_fleet_status_upgrade_and_play(self):
        table = vyxctl_json("fleet", "status", "--parallel", "3")
        self.assertEqual(sorted(d["device"] for d in table["devices"]),
                         sorted(device(h)[0] for h in ("tx", "tx2", "rx", "rx2", "rx3", "rx4")))
        self.assertEqual(table["failed"], 0)

        archive = os.path.join(self.dir, "fw.tar")
        with tarfile.open(archive, "w") as tar:
            for name, data in (("VERSION", b"0.83.0\n"), ("rootfs.img", os.urandom(100000))):
                info = tarfile.TarInfo(name)
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
        agent = standin_pid("rx2", "snmpagent")
        os.kill(agent, signal.SIGSTOP)
        try:
            r = vyxctl_json("fleet", "upgrade", archive, "--role", "receiver", "--parallel", "2",
                            "--back-timeout", "60", "--timeout", "20", status=1)
        finally:
            os.kill(agent, signal.SIGCONT)
        by = {d["device"]: d for d in r["devices"]}
        rx2 = device("rx2")[0]
        self.assertEqual(sorted(by), sorted(device(h)[0] for h in ("rx", "rx2", "rx3", "rx4")))
        self.assertEqual((r["failed"], by[rx2]["ok"]), (1, False))
        for h in ("rx", "rx3", "rx4"):
            d = by[device(h)[0]]
            self.assertTrue(d["ok"] and not d["skipped"], d)
            self.assertEqual((d["state"], d["version"]), ("restarted", "0.82.14"))
            burns = [e for e in read_jsonl(h, "agent.jsonl") if e.get("event") == "burn"]
            self.assertTrue(burns and burns[-1]["ok"], burns)
        self.assertFalse([e for e in read_jsonl("rx2", "agent.jsonl") if e.get("event") == "burn"])

        play = vyxctl_json("fleet", "play", "rx,rx3", "239.10.0.1:1234", "1")
        self.assertEqual([d["ok"] for d in play["devices"]], [True, True])
        for h in ("rx", "rx3"):
            st = vyxctl_json("status", h)
            self.assertEqual(st["playing"], {"group": "239.10.0.1", "port": 1234, "program": 1})


if __name__ == "__main__":
    main()
