#!/usr/bin/env python3
"""The lineup's rules without devices: the file's checks, finding channels,
placing them (one RF channel per transmitter, 8 streams, one audio
language, unknown channels), keeping slots, and what a re-apply sends."""

import os
import socket
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "vyxctl_pkg"))

from vyxctl import placement, tscheck  # noqa: E402
from vyxctl.placement import LineupError  # noqa: E402


def entry(tuner, tsid, prog, virtual="", name="", strength=5):
    return {"tuner_channel": tuner, "transport_id": tsid, "program": prog, "virtual": virtual,
            "name": name, "strength": strength}


def lineup(*channels):
    return placement.check_lineup({"channels": [
        dict(c, to=c.get("to", "239.10.0.%d:1234" % (i + 1))) for i, c in enumerate(channels)]})


def streams(plan, tx):
    return [(s["ref"], s["slot"]) for s in plan["transmitters"][tx]["streams"]]


class LineupFile(unittest.TestCase):
    def test_entries_are_normalised_and_kinds_told_apart(self):
        lu = lineup({"channel": "13.1"}, {"channel": "WNET"}, {"channel": "0x1:3", "tuner": 5},
                    {"channel": 20.1, "lang": "FRA"})
        self.assertEqual([(c["kind"], c["ref"]) for c in lu["channels"]],
                         [("virtual", "13.1"), ("name", "WNET"), ("pair", "0x1:3"),
                          ("virtual", "20.1")])
        self.assertEqual((lu["channels"][3]["lang"], lu["channels"][0]["group"]),
                         ("fra", "239.10.0.1"))

    def test_bad_files_name_the_entry(self):
        bad = [
            ({"channels": [{"channel": "13.1", "to": "10.0.0.1:1234"}]}, "not a multicast"),
            ({"channels": [{"channel": "1:3", "to": "239.1.1.1:1"}]}, "tuner"),
            ({"channels": [{"channel": "13.1", "to": "239.1.1.1:1"},
                           {"channel": "13.2", "to": "239.1.1.1:1"}]}, "already the group"),
            ({"channels": [{"channel": "13.1", "to": "239.1.1.1:1", "lang": "french"}]}, "lang"),
            ({"channels": [{"channel": "13.1", "to": "239.1.1.1:1", "typo": 1}]}, "typo"),
            ({"channels": "13.1"}, "channels"),
        ]
        for doc, words in bad:
            with self.assertRaises(LineupError, msg=doc) as e:
                placement.check_lineup(doc, "f.json")
            self.assertIn(words, str(e.exception))
            self.assertTrue(str(e.exception).startswith("f.json: "))


class Placing(unittest.TestCase):
    def test_rf_channel_shares_one_transmitter_and_unknown_is_reported(self):
        lists = {"tx": [entry(5, 1, 1, "5.1"), entry(5, 1, 2, "5.2"), entry(7, 2, 1, "7.1")],
                 "tx2": [entry(7, 2, 1, "7.1", strength=3), entry(9, 3, 1, "9.1")]}
        plan = placement.place(lineup({"channel": "5.1"}, {"channel": "7.1"},
                                      {"channel": "5.2"}, {"channel": "42.1"}), lists)
        # 5.x need tx (only it sees 5), so 7.1 goes to tx2, which also sees it.
        self.assertEqual(streams(plan, "tx"), [("5.1", 1), ("5.2", 2)])
        self.assertEqual(streams(plan, "tx2"), [("7.1", 1)])
        self.assertEqual((plan["transmitters"]["tx"]["tuner"],
                          plan["transmitters"]["tx2"]["tuner"]), (5, 7))
        self.assertEqual([(u["channel"]["ref"], u["reason"]) for u in plan["unplaced"]],
                         [("42.1", "not in any transmitter's channel list")])

    def test_second_rf_channel_without_a_free_transmitter(self):
        lists = {"tx": [entry(5, 1, 1, "5.1"), entry(7, 2, 1, "7.1")]}
        plan = placement.place(lineup({"channel": "5.1"}, {"channel": "7.1"}), lists)
        self.assertEqual(streams(plan, "tx"), [("5.1", 1)])
        self.assertEqual(len(plan["unplaced"]), 1)
        self.assertIn("tuner channel 7", plan["unplaced"][0]["reason"])

    def test_eight_streams_then_full_slot_zero_last(self):
        lists = {"tx": [entry(5, 1, p, "5.%d" % p) for p in range(1, 10)]}
        plan = placement.place(lineup(*[{"channel": "5.%d" % p} for p in range(1, 10)]), lists)
        self.assertEqual(streams(plan, "tx"),
                         [("5.%d" % p, s) for p, s in zip(range(1, 9), [1, 2, 3, 4, 5, 6, 7, 0])])
        self.assertEqual([u["channel"]["ref"] for u in plan["unplaced"]], ["5.9"])
        self.assertIn("8 streams", plan["unplaced"][0]["reason"])

    def test_names_pairs_and_languages(self):
        lists = {"tx": [entry(5, 1, 1, "", "Alpha"), entry(5, 1, 2, "", "Beta"),
                        entry(5, 1, 3, "", "Gamma")]}
        plan = placement.place(lineup({"channel": "alpha", "lang": "fra"},
                                      {"channel": "1:2", "tuner": 5, "lang": "fra"},
                                      {"channel": "1:3", "tuner": 6}), lists)
        self.assertEqual(streams(plan, "tx"), [("alpha", 1), ("1:2", 2)])
        self.assertEqual(plan["transmitters"]["tx"]["lang"], "fra")
        self.assertEqual([u["channel"]["ref"] for u in plan["unplaced"]], ["1:3"])
        clash = placement.place(lineup({"channel": "Alpha", "lang": "fra"},
                                       {"channel": "Beta", "lang": "spa"},
                                       {"channel": "Gamma"}), lists)
        self.assertEqual(streams(clash, "tx"), [("Gamma", 1)])
        self.assertEqual([u["channel"]["ref"] for u in clash["unplaced"]], ["Alpha", "Beta"])
        self.assertIn("different audio languages", clash["unplaced"][0]["reason"])


class Reapplying(unittest.TestCase):
    LISTS = {"tx": [entry(5, 1, p, "5.%d" % p) for p in range(1, 9)],
             "tx2": [entry(5, 1, p, "5.%d" % p) for p in range(1, 9)]}

    def running(self, plan, tx):
        return {"channel": plan["transmitters"][tx]["tuner"], "streams": [
            {"id": s["slot"], "active": True, "group": s["group"], "port": s["port"],
             "programs": [s["entry"]["program"]]} for s in plan["transmitters"][tx]["streams"]]}

    def test_running_multiplex_stays_and_nothing_is_resent(self):
        lu = lineup({"channel": "5.1"}, {"channel": "5.2"})
        state = {"tx": {"channel": 0, "streams": []},
                 "tx2": {"channel": 5, "streams": [{"id": 3, "active": True, "group": "239.10.0.2",
                                                    "port": 1234, "programs": [2]}]}}
        plan = placement.place(lu, self.LISTS, state)
        # tx2 already sends 5.2 from slot 3: the multiplex stays there, the slot too.
        self.assertEqual(list(plan["transmitters"]), ["tx2"])
        self.assertEqual(streams(plan, "tx2"), [("5.1", 1), ("5.2", 3)])
        acts = placement.actions(plan["transmitters"]["tx2"], state["tx2"])
        self.assertEqual([(a[0], a[1]["slot"]) for a in acts], [("start", 1)])
        again = placement.place(lu, self.LISTS, {"tx2": self.running(plan, "tx2")})
        self.assertEqual(placement.actions(again["transmitters"]["tx2"],
                                           self.running(plan, "tx2")), [])

    def test_one_changed_channel_restarts_only_its_stream(self):
        lu = lineup({"channel": "5.1"}, {"channel": "5.2"}, {"channel": "5.3"})
        plan = placement.place(lu, self.LISTS)
        tx = next(iter(plan["transmitters"]))
        state = self.running(plan, tx)
        changed = lineup({"channel": "5.1"}, {"channel": "5.4", "to": "239.10.0.2:1234"},
                         {"channel": "5.3"})
        new = placement.place(changed, self.LISTS, {tx: state})
        acts = placement.actions(new["transmitters"][tx], state)
        self.assertEqual([(a[0], a[1]["slot"], a[1]["ref"]) for a in acts],
                         [("start", 2, "5.4")])
        self.assertEqual(placement.unit_text(acts[0][1], 5), "UNIT4,2,239.10.0.2,1234,5,1,4")

    def test_slot_zero_restarted_after_another_slot_and_retune_stops_all(self):
        lu = lineup(*[{"channel": "5.%d" % p} for p in range(1, 9)])
        plan = placement.place(lu, {"tx": self.LISTS["tx"]})
        state = self.running(plan, "tx")
        state["streams"][0]["group"] = "239.99.0.1"    # slot 1 sends elsewhere
        acts = placement.actions(plan["transmitters"]["tx"], state)
        self.assertEqual([(a[0], a[1]["slot"]) for a in acts], [("start", 1), ("start", 0)])
        state = dict(self.running(plan, "tx"), channel=9)
        acts = placement.actions(plan["transmitters"]["tx"], state)
        self.assertEqual(acts[0], ("stop-all",))
        self.assertEqual([a[1]["slot"] for a in acts[1:]], [1, 2, 3, 4, 5, 6, 7, 0])
        extra = dict(self.running(plan, "tx"))
        extra["streams"] = extra["streams"][1:] + [{"id": 1, "active": True, "group": "239.9.9.9",
                                                    "port": 1, "programs": [1]}]
        small = placement.place(lineup({"channel": "5.2", "to": "239.10.0.2:1234"}),
                                {"tx": self.LISTS["tx"]}, {"tx": extra})
        acts = placement.actions(small["transmitters"]["tx"], extra)
        self.assertEqual([a[0] for a in acts], ["stop"] * 7)
        self.assertEqual(acts[-1], ("stop", 0))


def section(table_id, ext, body):
    head = bytes([table_id, 0xB0 | (len(body) + 9) >> 8, (len(body) + 9) & 0xFF,
                  ext >> 8, ext & 0xFF, 0xC1, 0, 0])
    sec = head + body
    crc = tscheck.crc32_mpeg(sec)
    return sec + crc.to_bytes(4, "big")


def packet(pid, cc, payload, start=True):
    head = bytes([0x47, (0x40 if start else 0) | pid >> 8, pid & 0xFF, 0x10 | (cc & 0x0F)])
    body = (b"\0" + payload) if start else payload
    return head + body + b"\xff" * (184 - len(body))


class Recording(unittest.TestCase):
    """The verifier on made-up recordings of program 3 (PMT 0x100, video
    0x101, audio 0x102)."""

    PAT = section(0, 1, bytes([0, 0, 0xE0, 0x10, 0, 3, 0xE1, 0x00]))
    PMT = section(2, 3, bytes([0xE1, 0x01, 0xF0, 0, 2, 0xE1, 0x01, 0xF0, 0, 4, 0xE1, 0x02,
                               0xF0, 0]))

    def stream(self, rounds=20, skip=None, pat=None):
        out = b""
        for i in range(rounds):
            out += packet(0, i, pat or self.PAT) + packet(0x100, i, self.PMT)
            for pid in (0x101, 0x102):
                if (pid, i) != skip and not (skip == pid):
                    out += packet(pid, i, b"\0\0\1\xe0", start=False)
        return out

    def test_clean_stream_passes(self):
        r = tscheck.check(self.stream(), 3, 2.0, 10)
        self.assertEqual((r["ok"], r["pmt_pid"], r["elementary_pids"], r["datagrams_per_s"]),
                         (True, 0x100, [0x101, 0x102], 5.0), r["reasons"])

    def test_each_fault_is_named(self):
        lost = tscheck.check(self.stream(skip=(0x101, 7)), 3, 1, 1)
        self.assertEqual(lost["continuity_errors"], 1)
        self.assertIn("continuity error(s) on PID(s) 0x101", "; ".join(lost["reasons"]))
        missing = tscheck.check(self.stream(skip=0x102), 3, 1, 1)
        self.assertIn("elementary PID(s) 0x102 missing", missing["reasons"])
        other = tscheck.check(self.stream(), 4, 1, 1)
        self.assertIn("the PAT does not name program 4 (it names 3)", other["reasons"])
        broken = bytearray(self.PAT)
        broken[-1] ^= 1
        bad = tscheck.check(self.stream(pat=bytes(broken)), 3, 1, 1)
        self.assertFalse(bad["ok"])
        self.assertIn("PAT sections invalid", bad["reasons"][0])
        self.assertEqual(tscheck.check(b"", 3, 1, 0)["reasons"], ["nothing arrived"])

    def test_a_sound_group_ends_early_a_faulty_one_is_recorded_whole(self):
        # the groups on loopback unicast (join_group replaced), fed a round
        # (PAT, PMT, video, audio) every 40 ms for 3 s
        socks = {}
        for _ in range(2):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("127.0.0.1", 0))
            socks[sock.getsockname()[1]] = sock
        ports = list(socks)

        def unicast(group, port):
            return socks[port]
        good, faulty = self.stream(rounds=16), self.stream(rounds=16, skip=0x102)

        def feed():
            out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            end = time.monotonic() + 3.5
            i = 0
            while time.monotonic() < end:
                for port, data in zip(ports, (good, faulty)):
                    per_round = len(data) // 16
                    k = i % 16
                    out.sendto(data[k * per_round:(k + 1) * per_round], ("127.0.0.1", port))
                i += 1
                time.sleep(0.04)
            out.close()
        saved = tscheck.join_group
        tscheck.join_group = unicast
        try:
            threading.Thread(target=feed, daemon=True).start()
            began = time.monotonic()
            results = [None, None]

            def one(i, settle):
                results[i] = (tscheck.check_groups([("239.0.0.1", ports[i], 3)], 3.0, settle)[0],
                              time.monotonic() - began)
            threads = [threading.Thread(target=one, args=(i, 0.5)) for i in (0, 1)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(10)
        finally:
            tscheck.join_group = saved
        (ok, ok_took), (bad, bad_took) = results
        self.assertTrue(ok["ok"], ok["reasons"])
        self.assertLess(ok_took, 2.0)
        self.assertFalse(bad["ok"])
        self.assertIn("elementary PID(s) 0x102 missing", bad["reasons"])
        self.assertGreaterEqual(bad_took, 2.9)


if __name__ == "__main__":
    unittest.main(verbosity=2)
