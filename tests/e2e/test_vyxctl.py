#!/usr/bin/env python3
"""The controller tool against both devices of a world: discovery, status,
a program streamed by the transmitter and played by the receiver with its
audio language switched, the display and caption commands, IR keys and
serial bytes seen by `monitor`, a recording that keeps to its group.  Runs
under with_sample_stream.sh (channel 5: the three-program sample multiplex)
with `devsim run --tx --rx`."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import vyxe2e

from vyxe2e import HOST_IPS, Controller as Socket, DeviceTestCase, device, exec_host, host_mac, main, poll

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "txflow_check.py")
GROUP, PORT = "239.1.1.1", 1234


def vyxctl(*args, timeout=90):
    return subprocess.run(["vyxctl", *args], capture_output=True, text=True, timeout=timeout)


def vyxctl_json(*args, timeout=90):
    r = vyxctl(*args, "--json", timeout=timeout)
    if r.returncode != 0:
        raise AssertionError("vyxctl %s: exit %d: %s" % (" ".join(args), r.returncode, r.stderr))
    return json.loads(r.stdout)


class Controller(DeviceTestCase):
    def test_discovery_lists_both_devices_once(self):
        found = vyxctl_json("discover", "--count", "2", "--timeout", "30")
        self.assertEqual([(d["role"], d["address"], d["port"], d["version"]) for d in found],
                         [("transmitter", HOST_IPS["tx"], 5000, "0.82.14"),
                          ("receiver", HOST_IPS["rx"], 2008, "0.82.14")])
        for d, host in zip(found, ("tx", "rx")):
            self.assertEqual(d["mac"].replace(":", ""), host_mac(host))
        text = vyxctl("discover", "--count", "2", "--timeout", "30")
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertEqual(len(text.stdout.splitlines()), 3, text.stdout)   # header and two

    def test_discovery_watch_stays_live(self):
        w = subprocess.Popen(["vyxctl", "discover", "--watch", "--json", "--timeout", "3",
                              "--interval", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        try:
            first = json.loads(w.stdout.readline())
            w.send_signal(signal.SIGINT)
            rest, err = w.communicate(timeout=20)
        finally:
            if w.poll() is None:
                w.kill()
        self.assertEqual(first["event"], "list")
        self.assertEqual(sorted(d["address"] for d in first["devices"]),
                         [HOST_IPS["tx"], HOST_IPS["rx"]])
        self.assertEqual((w.returncode, rest), (0, ""), err)   # nothing new, nothing gone

    def test_status_of_both_devices(self):
        tx = vyxctl_json("status", "tx")
        self.assertEqual((tx["role"], tx["address"], tx["tuner_mode"], tx["version"]),
                         ("transmitter", "10.77.0.2:5000", "ATSC", "0.82.14"))
        self.assertEqual((tx["network"]["ip"], tx["network"]["mac"].replace(":", "")),
                         (HOST_IPS["tx"], host_mac("tx")))
        # the port is found by asking VERS when it is left out
        rx = vyxctl_json("status", HOST_IPS["rx"])
        self.assertEqual((rx["role"], rx["address"]), ("receiver", "10.77.0.3:2008"))
        silent = vyxctl("status", HOST_IPS["tx"] + ":4999", "--timeout", "0.5")
        self.assertEqual(silent.returncode, 3)
        self.assertEqual(len(silent.stderr.splitlines()), 1, silent.stderr)

    def test_stream_play_and_switch_language(self):
        r = vyxctl("stream", "tx", "1:2", "--channel", "5", "--to", "%s:%d" % (GROUP, PORT))
        self.assertEqual(r.returncode, 0, r.stderr)
        try:
            st = vyxctl_json("status", "tx")
            self.assertEqual([(s["group"], s["port"], s["programs"], s["active"])
                              for s in st["streams"]], [(GROUP, PORT, [2], True)])
            with tempfile.TemporaryDirectory() as d:
                rec = os.path.join(d, "p2.ts")
                summary = vyxctl_json("record", "%s:%d" % (GROUP, PORT), "3", rec)
                self.assertGreater(summary["datagrams"], 20)
                probe = subprocess.run([sys.executable, CHECK, "probe", rec, "--programs", "2"],
                                       capture_output=True, text=True)
                self.assertEqual(probe.returncode, 0, probe.stderr)

            r = vyxctl("play", "rx", "%s:%d" % (GROUP, PORT), "2")
            self.assertEqual(r.returncode, 0, r.stderr)
            st = vyxctl_json("status", "rx")
            self.assertEqual(st["playing"], {"group": GROUP, "port": PORT, "program": 2})

            # the receiver learns the played program's languages from its PMT
            def languages():
                got = vyxctl_json("lang", "rx", "--list")["audio"]
                return [sorted(e["language"] for e in p["entries"])
                        for p in got if p["program"] == 2 and p["entries"]]
            self.assertEqual(poll(languages, 30, "program 2's languages"), [["eng", "fra"]])
            r = vyxctl("lang", "rx", "fra")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(vyxctl("subs", "rx", "off").returncode, 0)
            self.assertEqual(vyxctl("subs", "rx", "9").returncode, 1)   # refused here
            self.assertEqual(vyxctl("url", "rx", "blank").returncode, 0)
            refused = vyxctl("url", "tx", "blank")                        # a receiver's command
            self.assertEqual((refused.returncode, refused.stderr),
                             (1, "vyxctl: browser: the device refused\n"))
            self.assertEqual(vyxctl("play", "rx", "--stop").returncode, 0)
            self.assertIsNone(vyxctl_json("status", "rx")["playing"])
        finally:
            vyxctl("stream", "tx", "--stop")
        self.assertEqual(vyxctl_json("status", "tx")["streams"], [])

    def test_record_keeps_to_its_group(self):
        # Two groups on one port, both joined on this host: only the recorded
        # group's datagrams may reach the file.
        other = vyxe2e.join_group("239.1.1.6", 1240)
        send = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        send.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        try:
            with tempfile.TemporaryDirectory() as d:
                rec = os.path.join(d, "g5.ts")
                r = subprocess.Popen(["vyxctl", "record", "239.1.1.5:1240", "3", rec],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                try:
                    end = time.monotonic() + 2.5
                    while time.monotonic() < end:
                        send.sendto(b"A" * 188, ("239.1.1.5", 1240))
                        send.sendto(b"B" * 188, ("239.1.1.6", 1240))
                        time.sleep(0.05)
                    out, err = r.communicate(timeout=20)
                finally:
                    if r.poll() is None:
                        r.kill()
                self.assertEqual(r.returncode, 0, err)
                summary = json.loads(out)
                with open(rec, "rb") as f:
                    data = f.read()
        finally:
            other.close()
            send.close()
        self.assertGreater(summary["datagrams"], 10)
        self.assertEqual(data, b"A" * 188 * summary["datagrams"])

    def test_monitor_prints_error_reports(self):
        mon = subprocess.Popen(["vyxctl", "monitor", "tx", "--json", "--count", "1",
                                "--duration", "20"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        try:
            self.assertIn("monitoring", mon.stderr.readline())
            with Socket() as other:      # a command from elsewhere fails: its report comes
                other.command(device("tx"), "REMOTE1")
            out, err = mon.communicate(timeout=30)
        finally:
            if mon.poll() is None:
                mon.kill()
        self.assertEqual(mon.returncode, 0, err)
        self.assertEqual(json.loads(out), {"kind": "error", "text": "Bad type T"})

    def test_monitor_names_ir_keys(self):
        if not shutil.which("k720ir", path=os.path.join(os.environ["VYX_WORLD"], "bin")) and \
                exec_host("rx", "sh", "-c", "command -v k720ir", check=False).returncode != 0:
            self.skipTest("no IR key tool (k720ir) in this build")
        mon = subprocess.Popen(["vyxctl", "monitor", "rx", "--json", "--count", "2",
                                "--duration", "30"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        try:
            # its first line on stderr comes once the receiver forwards keys
            self.assertIn("monitoring", mon.stderr.readline())
            exec_host("rx", "k720ir", "MENU", "VOL_UP")
            out, err = mon.communicate(timeout=40)
        finally:
            if mon.poll() is None:
                mon.kill()
        self.assertEqual(mon.returncode, 0, err)
        keys = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([(k["kind"], k["key"]) for k in keys],
                         [("key", "KEY_MENU"), ("key", "KEY_VOL_UP")])

    def test_monitor_prints_serial_bytes(self):
        if not hasattr(vyxe2e, "SerialEnd"):
            self.skipTest("no serial port end in this world")
        with vyxe2e.SerialEnd("rx") as end:
            mon = subprocess.Popen(["vyxctl", "monitor", "rx", "--json", "--count", "3",
                                    "--duration", "30"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
            try:
                self.assertIn("monitoring", mon.stderr.readline())
                end.sock.sendall(b"A\x00\xff")
                out, err = mon.communicate(timeout=40)
            finally:
                if mon.poll() is None:
                    mon.kill()
        self.assertEqual(mon.returncode, 0, err)
        self.assertEqual([json.loads(line) for line in out.splitlines()],
                         [{"kind": "serial", "byte": b} for b in (0x41, 0, 0xFF)])


if __name__ == "__main__":
    main()
