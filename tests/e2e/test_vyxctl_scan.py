#!/usr/bin/env python3
"""`vyxctl scan` and `vyxctl channels` against a transmitter whose band
holds the WNET capture (channel 3, three programs with virtual channels),
the sample multiplex (channel 5), a weak carrier (channel 7)
and a carrier without tables (channel 9): the progress state follows the
device's lines, Ctrl-C stops the scan cleanly, the channel list decodes
names and numbers, and a stream of the M3U playlist plays in ffprobe.
Runs under with_sample_stream.sh with `devsim run --tx`."""

import json
import signal
import subprocess
import time

from vyxe2e import DeviceTestCase, main, poll

BAND = {3: 3, 5: 3, 9: 0}          # locked channels and the programs on each


def scan(*args, timeout=240):
    r = subprocess.run(["vyxctl", "scan", "tx", "--json", *args], capture_output=True,
                       text=True, timeout=timeout)
    return r, [json.loads(line) for line in r.stdout.splitlines()]


class Scan(DeviceTestCase):
    def test_1_one_channel(self):
        r, events = scan("--channel", "5")
        self.assertEqual(r.returncode, 0, r.stderr)
        summary = events[-1]
        self.assertEqual((summary["event"], summary["total"], summary["locked"],
                          summary["found"], summary["state"]), ("summary", 1, [5], {"5": 3}, "done"))

    def test_2_full_band_progress_follows_the_lines(self):
        r, events = scan("--mode", "atsc")
        self.assertEqual(r.returncode, 0, r.stderr)
        progress, summary = events[:-1], events[-1]
        self.assertEqual((summary["total"], summary["locked"], summary["programs"],
                          summary["interrupted"]), (68, sorted(BAND), 6, False))
        self.assertEqual(summary["found"], {str(k): v for k, v in BAND.items()})
        # the (locked, found) states in the order the lines came
        states = []
        for e in progress:
            s = (tuple(e["locked"]), tuple(sorted(e["found"].items())))
            if not states or states[-1] != s:
                states.append(s)
        self.assertEqual(states, [
            ((), ()), ((3,), ()), ((3,), (("3", 3),)), ((3, 5), (("3", 3),)),
            ((3, 5), (("3", 3), ("5", 3))), ((3, 5, 9), (("3", 3), ("5", 3))),
            ((3, 5, 9), (("3", 3), ("5", 3), ("9", 0)))])
        channels = [e["channel"] for e in progress if e["channel"] is not None]
        self.assertEqual(channels, sorted(channels), "the channel never goes back")
        self.assertGreater(len(set(channels)), 10, "SCA? polls fill in the channels without lines")
        self.assertEqual(progress[-1]["state"], "done")

    def test_3_channel_list_and_playlist(self):
        out = subprocess.run(["vyxctl", "channels", "tx", "--json", "--m3u", "239.1.1.1:1234",
                              "-o", "/tmp/vyxctl-scan-test.m3u"], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        table = json.loads(out.stdout)["channels"]
        self.assertEqual([(c["virtual"], c["name"], c["tuner_channel"], c["program"])
                          for c in table if c["tuner_channel"] == 3],
                         [("13.1", "WNET-HD", 3, 3), ("13.2", "KIDS", 3, 4), ("13.3", "V-Me", 3, 5)])
        self.assertEqual(sorted((c["tuner_channel"], c["program"], c["strength"], c["video"])
                                for c in table if c["tuner_channel"] == 5),
                         [(5, p, 5, "MPEG-2 video") for p in (1, 2, 3)])
        with open("/tmp/vyxctl-scan-test.m3u") as f:
            m3u = f.read().splitlines()
        self.assertEqual(m3u[0], "#EXTM3U")
        self.assertIn("#EXTINF:-1 tvg-chno=\"13.1\" tvg-name=\"WNET-HD\",13.1 WNET-HD", m3u)
        # the playlist's entry for program 2 of the sample, started as it says
        i = next(n for n, line in enumerate(m3u) if line.startswith("# vyxctl stream tx 1:2 "))
        command, url = m3u[i].split()[2:], m3u[i + 1]
        r = subprocess.run(["vyxctl", *command], capture_output=True, text=True, timeout=90)
        self.assertEqual(r.returncode, 0, r.stderr)
        try:
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                    "program=program_id:stream=codec_type", "-of", "json",
                                    url + "?timeout=10000000"], capture_output=True, text=True,
                                   timeout=60)
            self.assertEqual(probe.returncode, 0, probe.stderr)
            # (the SDT still names the other two services, without streams)
            programs = [p for p in json.loads(probe.stdout)["programs"] if p.get("streams")]
            self.assertEqual([p["program_id"] for p in programs], [2])
            self.assertEqual(sorted(s["codec_type"] for s in programs[0]["streams"]),
                             ["audio", "audio", "video"])
        finally:
            subprocess.run(["vyxctl", "stream", "tx", "--stop"], capture_output=True, timeout=60)

    def test_4_ctrl_c_stops_the_scan(self):
        p = subprocess.Popen(["vyxctl", "scan", "tx", "--json"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        try:
            # interrupt once the first channel has locked
            for line in p.stdout:
                if json.loads(line)["locked"]:
                    break
            started = time.monotonic()
            p.send_signal(signal.SIGINT)
            out, err = p.communicate(timeout=60)
        finally:
            if p.poll() is None:
                p.kill()
        self.assertEqual(p.returncode, 130, err)
        self.assertIn("BLIND99", err)
        summary = json.loads(out.splitlines()[-1])
        self.assertEqual((summary["event"], summary["interrupted"], summary["state"]),
                         ("summary", True, "done"))
        self.assertLess(len(summary["locked"]), 3)
        self.assertLess(time.monotonic() - started, 30)
        # the device is idle again: SCAL answers
        poll(lambda: subprocess.run(["vyxctl", "channels", "tx"], capture_output=True,
                                    timeout=30).returncode == 0, 20, "SCAL after the stop")


if __name__ == "__main__":
    main()
