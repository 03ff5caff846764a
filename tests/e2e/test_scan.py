#!/usr/bin/env python3
"""The transmitter's channel scan over a simulated band: a full ATSC scan and
a cable scan with their exact progress lines, "SCA?" during and after, the
channel list ("SCAL") and the scan-results file, the list kept over a RESET,
a one-channel scan ("Tuner://") and a stopped scan ("BLIND99").

Runs under `devsim run --tx --time-scale 20` with the band
   13  the WNET capture (three programs and a TVCT), strength 5
   20  a three-program multiplex without PSIP made here with ffmpeg, strength 4
   30  a carrier too weak to use (strength 2)
   40  a carrier that locks but has no PAT (the player's "nopat"), strength 5
  100  the Mediaset capture (20 programs), strength 5 (cable channels only)
  158  the same capture, strength 3 (cable channels only)
The tests run in order (their names say it): each scan replaces the list of
the one before."""

import os
import re
import shutil
import sys
import time
import unittest

import txflow_check
from vyxe2e import (OK, RESULTS_FILE, SCAL_END, SCAN_DONE, Controller, DeviceTestCase,
                    channel_list, device, main, read_text, restart_device, scan_progress,
                    scan_status, world_dir)

START = b"BLINDSTART:0 OK\r\n"
# How long a whole band may take under the world's time scale before the
# test gives up on it (about 17 s and 37 s on an idle machine; the time is
# printed, not judged: a loaded machine stretches it).
SCAN_LIMIT = 240.0

# SCAL lines: (channelNo, transport id, program id, tuner channel, strength
# byte, video and audio stream types, name form and name).
WNET = [("131", "07db", "0003", "0d", "ff", "02", "81", "A WNET-HD"),
        ("132", "07db", "0004", "0d", "ff", "02", "81", "A KIDS"),
        ("133", "07db", "0005", "0d", "ff", "02", "81", "A V-Me")]
MUX = [("000", "0001", "%.4x" % p, "14", "cc", "02", "03", "A ") for p in (1, 2, 3)]
MEDIASET_PROGRAMS = [1, 2, 3, 4, 6, 7, 8, 9, 10, 12, 13, 71, 72, 101, 102, 103, 104, 105, 805, 899]


def scal_pattern(fields):
    """None for a stream type: any (a capture with many PMTs may not show all
    of them within a compressed scan's window)."""
    no, trid, prid, chan, strength, video, audio, name = fields
    return r"SCAL %s %s %s \[%s:0:%s:%s:%s\] C %s\r\n\Z" % (
        no, trid, prid, chan, strength, video or "[0-9a-f]{2}", audio or "[0-9a-f]{2}",
        re.escape(name))


def lock(channel, programs):
    return [b"BLINDLOCK:%d OK\r\n" % channel, b"BLINDFND:%d OK\r\n" % programs]


def mediaset(channel, strength):
    return [("000", "1770", "%.4x" % p, "%.2x" % channel, strength, None, None, "A ")
            for p in MEDIASET_PROGRAMS]


class Scan(DeviceTestCase):
    @classmethod
    def setUpClass(cls):
        # The multiplex of channel 20 is made where the world's map says.
        with open(os.path.join(world_dir(), "channels.map")) as f:
            band = dict(line.split()[:2] for line in f if line.strip())
        mux = band["20"]
        if not os.path.exists(mux):
            os.makedirs(os.path.dirname(mux), exist_ok=True)

            class Args:
                out = mux
                languages = ["eng,spa", "eng,fra", "eng,ger"]  # the maker's defaults
            if txflow_check.cmd_make_stream(Args) != 0:
                raise AssertionError("ffmpeg could not make %s" % mux)
        # The control system: every scan command of the run comes from here,
        # so the progress lines come back here too.
        cls.ctl = Controller()
        cls.tx = device("tx")

    @classmethod
    def tearDownClass(cls):
        cls.ctl.close()
        super().tearDownClass()

    def assertLines(self, lines, expected):
        self.assertEqual(len(lines), len(expected), "".join(lines))
        for line, fields in zip(lines, expected):
            self.assertRegex(line, scal_pattern(fields))

    def blind(self, n, timeout=SCAN_LIMIT):
        self.ctl.drain()
        self.ctl.send(self.tx, "BLIND%d" % n)
        return scan_progress(self.ctl, timeout)

    def test_1_atsc_scan(self):
        stderr_at = len(read_text("tx", "stderr.log"))
        began = time.monotonic()
        # The scan number is read as atoi reads it: no digit is 0, the ATSC band.
        self.ctl.send(self.tx, "BLIND")
        first = scan_progress(self.ctl, 10, START)
        # Another controller asks how it goes: channel, found so far, 2.
        status = scan_status("tx")
        self.assertEqual(len(status), 4)
        self.assertEqual((status[0], status[3]), (0, 2))
        self.assertLessEqual(status[1], 69)
        rest = scan_progress(self.ctl, SCAN_LIMIT)
        took = time.monotonic() - began
        print("ATSC scan of 68 channels: %.1f s" % took, file=sys.stderr)
        self.assertEqual(first + rest, [START] + lock(13, 3) + lock(20, 3) + lock(40, 0) + [SCAN_DONE])
        self.assertEqual(scan_status("tx", self.ctl), b"\x00\x45\x03\x05")

        # The weak carrier gives only its report; the empty one says so twice.
        err = read_text("tx", "stderr.log")[stderr_at:]
        self.assertIn("Found signal on channel 30, but too weak to be usable (2 of 5). Ignoring", err)
        self.assertIn("Found chan 40 strength 5 of 5, but no programs! Rcvd 0 PATs and 0 PMTs. "
                      "Try again.", err)
        self.assertIn("Waited extra 5 seconds, but still nothing ... Rcvd 0 PATs and 0 PMTs. giving up "
                      "on this channel", err)

        datagrams, lines = channel_list("tx", self.ctl)
        self.assertEqual(len(datagrams), 1)
        self.assertLines(lines, WNET + MUX)
        Scan.atsc_lines = lines

        # The file: the same programs, WNET's names as UTF-16 bytes.
        saved = read_text("tx", RESULTS_FILE).splitlines()
        self.assertEqual(len(saved), 6, saved)
        names = ["00 57 00 4e 00 45 00 54 00 2d 00 48 00 44", "00 4b 00 49 00 44 00 53 00 00 00 00 00 00",
                 "00 56 00 2d 00 4d 00 65 00 00 00 00 00 00"]
        for line, (no, trid, prid, chan, strength, video, audio, _), name in zip(
                saved, WNET + MUX, names + [None] * 3):
            self.assertEqual(line, "%s %s %s 00%s %s C %s %s %s" % (
                no, trid, prid, chan, strength, video, audio, name or " ".join(["00"] * 14)))

    def test_2_list_survives_a_reset(self):
        restart_device("tx")
        datagrams, lines = channel_list("tx", self.ctl)
        self.assertEqual(lines, Scan.atsc_lines)
        # Read from the file: no scan ran since the start.
        self.assertEqual(scan_status("tx", self.ctl), b"\x00\x00\x00\x00")

    def test_3_one_channel_scan(self):
        self.ctl.drain()
        self.ctl.send(self.tx, "Tuner://d")
        got = scan_progress(self.ctl, 30)
        # The command's own answer comes once the scan has started.
        self.assertIn(OK, got)
        self.assertGreater(got.index(OK), got.index(START))
        got.remove(OK)
        self.assertEqual(got, [START] + lock(13, 3) + [SCAN_DONE])
        _, lines = channel_list("tx", self.ctl)
        self.assertLines(lines, WNET)
        self.assertEqual(len(read_text("tx", RESULTS_FILE).splitlines()), 3)
        self.assertEqual(scan_status("tx", self.ctl), b"\x00\x0d\x01\x05")

    def test_4_stop_during_a_scan(self):
        self.ctl.drain()
        self.ctl.send(self.tx, "BLIND0")
        self.assertEqual(scan_progress(self.ctl, 10, START), [START])
        self.ctl.send(self.tx, "BLIND99")
        # Answered through the forwarding, and the scan ends at its next channel.
        self.assertEqual(scan_progress(self.ctl, 30), [OK, SCAN_DONE])
        status = scan_status("tx", self.ctl)
        self.assertEqual((status[2], status[3]), (0, 5))
        self.assertLess(status[1], 13)
        # A stopped scan saves what it found: nothing.
        self.assertEqual(read_text("tx", RESULTS_FILE), "")

    def test_5_cable_scan(self):
        self.assertEqual(self.ctl.command(self.tx, "TUNERMODE2", 10), OK)
        began = time.monotonic()
        got = self.blind(0)
        took = time.monotonic() - began
        print("cable scan of 158 channels: %.1f s" % took, file=sys.stderr)
        self.assertEqual(got, [START] + lock(13, 3) + lock(20, 3) + lock(40, 0) + lock(100, 20)
                         + lock(158, 20) + [SCAN_DONE])
        self.assertEqual(scan_status("tx", self.ctl), b"\x00\x9e\x05\x05")

        # 46 programs: several datagrams, each of whole lines, sent once past
        # 1024 bytes; the last one ends the list.
        datagrams, lines = channel_list("tx", self.ctl)
        self.assertGreaterEqual(len(datagrams), 2)
        for d in datagrams[:-1]:
            self.assertGreater(len(d), 1024)
            self.assertLessEqual(len(d), 1024 + 128)
            self.assertTrue(d.startswith(b"SCAL ") and d.endswith(b"\r\n"))
        self.assertTrue(datagrams[-1].endswith(SCAL_END))
        self.assertLessEqual(len(datagrams[-1]) - len(SCAL_END), 1024)
        self.assertLines(lines, WNET + MUX + mediaset(100, "ff") + mediaset(158, "99"))
        self.assertEqual(len(read_text("tx", RESULTS_FILE).splitlines()), 46)


if __name__ == "__main__":
    if not shutil.which("ffmpeg"):
        print("no ffmpeg to make the multiplex: skipped", file=sys.stderr)
        sys.exit(77)
    main()
