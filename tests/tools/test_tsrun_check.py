#!/usr/bin/env python3
"""tsrun_check (through txflow_check.py long) on made-up recordings of one
stream of a small looping input: it must pass a recording that is whole
across many loops and starts anywhere, and catch each way a stream can be
hurt: a lost datagram, a changed byte, a foreign PID, lost sync, a bad or
wrong PAT, a restart of the input.  The tool is $VYX_TSRUN_CHECK, or built
here with c++."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import txflow_check as tc  # noqa: E402

TOOL = os.environ.get("VYX_TSRUN_CHECK")


def packet(pid, cc, payload=b"", pusi=False, afc=1):
    head = bytes([0x47, (0x40 if pusi else 0) | pid >> 8, pid & 0xFF, afc << 4 | (cc & 0x0F)])
    if afc == 2:
        return head + bytes([183]) + b"\xff" * 183
    return head + payload + b"\xff" * (184 - len(payload))


def section(table_id, ext, body):
    length = 5 + len(body) + 4
    sec = bytes([table_id, 0xB0 | length >> 8, length & 0xFF, ext >> 8, ext & 0xFF, 0xC1, 0, 0]) + body
    return sec + tc.crc32_mpeg(sec).to_bytes(4, "big")


def pat(entries, cc):
    body = b"".join(bytes([n >> 8, n & 0xFF, 0xE0 | p >> 8, p & 0xFF]) for n, p in entries)
    return packet(0, cc, b"\x00" + section(0, 1, body), pusi=True)


def pmt(pid, program, es, cc):
    body = bytes([0xE0 | es[0] >> 8, es[0] & 0xFF, 0xF0, 0])
    body += b"".join(bytes([0x02, 0xE0 | e >> 8, e & 0xFF, 0xF0, 0]) for e in es)
    return packet(pid, cc, b"\x00" + section(2, program, body), pusi=True)


PROGRAMS = [(1, 0x1000), (2, 0x1001)]


def make_input():
    """Two programs (1: 0x100 and 0x101, 2: 0x200), tables every 20 packets,
    null packets, payloads all of sync bytes; the counters do not line up
    over the loop, and 0x101 starts with a packet without payload."""
    out, cc = [], {}

    def nxt(pid):
        cc[pid] = cc.get(pid, -1) + 1
        return cc[pid]

    out.append(packet(0x101, 0, afc=2))
    for i in range(203):
        if i % 20 == 0:
            out.append(pat(PROGRAMS, nxt(0)))
            out.append(pmt(0x1000, 1, [0x100, 0x101], nxt(0x1000)))
            out.append(pmt(0x1001, 2, [0x200], nxt(0x1001)))
        pid = (0x100, 0x101, 0x200, 0x1FFF)[i % 4]
        body = b"\x47" * 184 if i % 7 == 0 else i.to_bytes(2, "big") * 8
        out.append(packet(pid, nxt(pid), body, pusi=(i % 9 == 0)))
    return out


class Stream:
    """What the transmitter sends for program 1: the input's packets of its
    PIDs in order, looped, and a regenerated PAT (program 2 blanked) in place
    of each input PAT."""

    def __init__(self, src):
        self.src = src
        self.pids = {0x100, 0x101, 0x1000}
        self.pat_cc = 0

    def packets(self, start, count):
        """Those of `count` input packets from index `start` on."""
        out = []
        for k in range(start, start + count):
            p = self.src[k % len(self.src)]
            pid = tc.pid_of(p)
            if pid == 0:
                out.append(pat([(1, 0x1000), (0, 0x1001)], self.pat_cc))
                self.pat_cc += 1
            elif pid in self.pids:
                out.append(p)
        return out


class TsRunCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.tool = TOOL
        if not cls.tool:
            cls.tool = os.path.join(cls.dir.name, "tsrun_check")
            subprocess.run(["c++", "-std=c++17", "-O1", "-o", cls.tool,
                            os.path.join(HERE, "tsrun_check.cpp")], check=True)
        cls.src = make_input()
        cls.input = os.path.join(cls.dir.name, "input.ts")
        with open(cls.input, "wb") as f:
            f.write(b"".join(cls.src))

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def run_check(self, pkts, *extra, raw=None, via_pipe=False):
        data = raw if raw is not None else b"".join(pkts)
        rec = "-" if via_pipe else os.path.join(self.dir.name, "rec.ts")
        if not via_pipe:
            with open(rec, "wb") as f:
                f.write(data)
        r = subprocess.run([sys.executable, os.path.join(HERE, "..", "e2e", "txflow_check.py"), "long",
                            self.input, rec, "--program", "1", "--tool", self.tool, *extra],
                           input=data if via_pipe else None, capture_output=True)
        import json
        report = json.loads(r.stdout.decode().strip().splitlines()[-1])
        return r.returncode, report

    def whole(self, start=0, loops=5):
        return Stream(self.src).packets(start, loops * len(self.src))

    def test_whole_stream_over_many_loops_from_anywhere(self):
        for start in (0, 1, 37, len(self.src) - 1):
            rc, rep = self.run_check(self.whole(start))
            self.assertEqual(rc, 0, (start, rep))
            self.assertIn(rep["loops"], (4, 5))
            # 0x100 and 0x1000 jump at the loop (0x101 too, after its
            # packet without payload): excused, not errors.
            self.assertGreater(rep["cc_input_wraps"], 0)
            self.assertEqual(rep["cc_errors"], 0)
        # Through a pipe, as the recorder's FIFO delivers it.
        rc, rep = self.run_check(self.whole(5), via_pipe=True)
        self.assertEqual(rc, 0, rep)
        self.assertEqual(rep["packets"], len(self.whole(5)))

    def test_lost_datagram_and_changed_byte(self):
        pkts = self.whole()
        lost = pkts[:400] + pkts[407:]
        rc, rep = self.run_check(lost)
        self.assertEqual(rc, 1)
        self.assertEqual(rep["breaks"], 1)
        self.assertGreater(rep["missing"], 0)
        changed = list(pkts)
        changed[500] = changed[500][:100] + bytes([changed[500][100] ^ 1]) + changed[500][101:]
        if tc.pid_of(changed[500]) == 0:
            self.skipTest("packet 500 is a PAT")
        rc, rep = self.run_check(changed)
        self.assertEqual((rc, rep["unknown"]), (1, 1))
        # The check goes on after each fault: the rest is still followed.
        self.assertEqual(rep["checked"] + rep["pat_packets"], len(pkts))

    def test_foreign_pid_and_lost_sync(self):
        pkts = self.whole()
        null = [p for p in self.src if tc.pid_of(p) == 0x1FFF][0]
        rc, rep = self.run_check(pkts[:300] + [null] + pkts[300:])
        self.assertEqual((rc, rep["foreign"], rep["breaks"]), (1, 1, 0))
        # 50 bytes of a packet lost: sync found again at the next packet.
        data = b"".join(pkts)
        cut = data[:188 * 300 + 20] + data[188 * 300 + 70:]
        rc, rep = self.run_check(None, raw=cut)
        self.assertEqual(rc, 1)
        self.assertEqual(rep["sync_losses"], 1)
        self.assertEqual(rep["packets"], len(pkts) - 1)
        # A recording that ends inside a packet.
        rc, rep = self.run_check(None, raw=data[:-100])
        self.assertEqual((rc, rep["sync_losses"]), (1, 1))

    def test_pat_must_be_valid_and_blank_the_other_program(self):
        pkts = self.whole()
        k = next(i for i, p in enumerate(pkts) if tc.pid_of(p) == 0 and i > 100)
        bad_crc = list(pkts)
        bad_crc[k] = bad_crc[k][:20] + b"\x00" + bad_crc[k][21:]
        rc, rep = self.run_check(bad_crc)
        self.assertEqual((rc, rep["pat_errors"]), (1, 1))
        unblanked = list(pkts)
        unblanked[k] = pat(PROGRAMS, tc.cc_of(pkts[k]))
        rc, rep = self.run_check(unblanked)
        self.assertEqual((rc, rep["pat_errors"]), (1, 1))
        no_pat = [p for p in pkts if tc.pid_of(p) != 0]
        rc, rep = self.run_check(no_pat)
        self.assertEqual((rc, rep["pat_sections"]), (1, 0))

    def test_restart_from_the_input_start(self):
        s = Stream(self.src)
        pkts = s.packets(60, 300) + s.packets(0, 600)
        rc, rep = self.run_check(pkts)
        self.assertEqual((rc, rep["restarts"], rep["breaks"]), (1, 1, 0))
        rc, rep = self.run_check(pkts, "--restarts", "1")
        self.assertEqual(rc, 0, rep)


if __name__ == "__main__":
    unittest.main()
