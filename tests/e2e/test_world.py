#!/usr/bin/env python3
"""The simulated world itself and the controller tool: what a device host
looks like from inside (environment, disks, plug-in path, network), and what
vyxctl sends, prints and records.  Runs under
`devsim run --tx --rx --channel 3=/dev/null:7 --channel 4=/dev/null`."""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading

from vyxe2e import (HOST_IPS, KO, Controller, DeviceTestCase, exec_host, main, poll,
                    read_text, world_dir)

HOSTS = ("tx", "rx")


def vyxctl(*args, timeout=30):
    return subprocess.run(["vyxctl", *args], capture_output=True, text=True, timeout=timeout)


class Hosts(DeviceTestCase):
    def test_environment_of_a_device_host(self):
        for host in HOSTS:
            out = exec_host(host, "sh", "-c",
                            'echo "$VYX_HOST|$VYX_HOSTDIR|$VYX_TIME_SCALE|$VYX_CHANNELS"').stdout
            self.assertEqual(out.strip(), "%s|%s|%s|%s" % (
                host, os.path.join(world_dir(), host), os.environ["VYX_TIME_SCALE"],
                os.path.join(world_dir(), "channels.map")))
        with open(os.path.join(world_dir(), "channels.map")) as f:
            self.assertEqual(f.read().splitlines(), ["3 /dev/null 7", "4 /dev/null 5"])

    def test_disks_are_read_only_binds_of_the_world(self):
        for host in HOSTS:
            mounts = exec_host(host, "cat", "/proc/mounts").stdout.splitlines()
            for disk in ("/mnt/hd1", "/mnt/hd4"):
                line = [m for m in mounts if m.split()[1] == disk]
                self.assertEqual(len(line), 1, disk)
                self.assertTrue(line[0].split()[3].startswith("ro"), line[0])
            self.assertNotEqual(exec_host(host, "touch", "/mnt/hd4/probe", check=False).returncode, 0)
            # Through the world directory the same disk is writable.
            marker = os.path.join(world_dir(), host, "hd4", "from-controller")
            with open(marker, "w") as f:
                f.write(host)
            self.assertEqual(exec_host(host, "cat", "/mnt/hd4/from-controller").stdout, host)
            os.remove(marker)

    def test_plugin_path_exists_only_inside_the_hosts(self):
        for host in HOSTS:
            target = exec_host(host, "readlink", "-f", "/tmp/lumo/libvyx.so").stdout.strip()
            self.assertTrue(target.endswith("/src/vyxlib/libvyx.so"), target)
            self.assertTrue(os.path.exists(target))
        # the controller shares the real filesystem view: no /tmp/lumo made there
        self.assertFalse(os.path.islink("/tmp/lumo/libvyx.so"))

    def test_network_of_each_host(self):
        macs = set()
        for host in HOSTS:
            addr = exec_host(host, "ip", "-o", "-4", "addr", "show", "dev", "eth0").stdout
            self.assertIn("inet %s/24" % HOST_IPS[host], addr)
            routes = exec_host(host, "ip", "route").stdout
            self.assertIn("224.0.0.0/4 dev eth0", routes)
            lo = exec_host(host, "ip", "-o", "link", "show", "dev", "lo").stdout
            self.assertIn("UP", lo.split(">")[0])
            macs.add(exec_host(host, "cat", "/sys/class/net/eth0/address").stdout.strip())
        with open("/sys/class/net/eth0/address") as f:
            macs.add(f.read().strip())
        self.assertEqual(len(macs), 3, macs)
        routes = subprocess.run(["ip", "route"], capture_output=True, text=True).stdout
        self.assertIn("224.0.0.0/4 dev eth0", routes)

    def test_each_host_runs_its_own_player(self):
        for host in HOSTS:
            pid = read_text(host, "player.pid").strip()
            self.assertTrue(pid.isdigit())
            comm = exec_host(host, "cat", "/proc/%s/comm" % pid).stdout.strip()
            self.assertEqual(comm, "mediaplayer")
            # each player has its own command queue (key 1234) in its host
            queues = exec_host(host, "cat", "/proc/sysvipc/msg").stdout.split("\n")[1:]
            self.assertIn("1234", [q.split()[0] for q in queues if q.split()])
        with open("/proc/sysvipc/msg") as f:
            self.assertNotIn("1234", [q.split()[0] for q in f.read().split("\n")[1:] if q.split()])


class Vyxctl(DeviceTestCase):
    def test_send_escapes_both_ways(self):
        r = vyxctl("send", os.environ["VYX_TX"], "vers")
        self.assertEqual((r.returncode, r.stdout), (0, "VERS0.82.14OK\\r\\n\n"))
        # a NUL in the command: the keyword is still VIDEO
        r = vyxctl("send", os.environ["VYX_TX"], "VIDEO\\x00\\r\\n")
        self.assertEqual((r.returncode, r.stdout), (0, "OK\\r\\n\n"))
        r = vyxctl("send", os.environ["VYX_TX"], "\\x00VIDEO")
        self.assertEqual((r.returncode, r.stdout), (0, "KO\\r\\n\n"))

    def test_send_exit_status_follows_the_replies(self):
        silent = "%s:4999" % HOST_IPS["tx"]
        r = vyxctl("send", silent, "VERS", "--timeout", "0.3")
        self.assertEqual((r.returncode, r.stderr), (1, "vyxctl: no reply within 0.3 s\n"))
        self.assertEqual(vyxctl("send", silent, "VERS", "--timeout", "0.3",
                                "--expect-none").returncode, 0)
        self.assertEqual(vyxctl("send", os.environ["VYX_TX"], "VERS",
                                "--expect-none").returncode, 1)

    def test_listen_gets_log_datagrams_on_the_callback_port(self):
        with Controller() as probe:
            port = probe.port
        tx = os.environ["VYX_TX"]
        self.assertEqual(vyxctl("send", tx, "CALLBACK1", "--sport", str(port)).stdout, "OK\\r\\n\n")
        try:
            listener = subprocess.Popen(["vyxctl", "listen", str(port), "--count", "1",
                                         "--timeout", "10"], stdout=subprocess.PIPE, text=True)
            # the listener owns the port now; the error report goes to it
            # (repeated until the listener has bound the port and got one)
            with Controller() as ctl:
                def reported():
                    self.assertEqual(ctl.command(("10.77.0.2", 5000), "REMOTE1", 1.0), KO)
                    return listener.poll() is not None
                poll(reported, 10, "the listener's datagram", interval=0.1)
            out, _ = listener.communicate(timeout=10)
            self.assertEqual((listener.returncode, out), (0, "LOG:ERROR Bad type T\\r\\n\n"))
        finally:
            vyxctl("send", tx, "CALLBACK0")

    def test_record_summarises_a_group(self):
        group, port = "239.9.9.9", 4321
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "rec.ts")
            rec = subprocess.Popen(["vyxctl", "record", "%s:%d" % (group, port), "3", out],
                                   stdout=subprocess.PIPE, text=True)
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
            stop = threading.Event()

            def send():
                # keep sending until the recorder ends: it may join late
                i = 0
                while not stop.wait(0.02):
                    s.sendto(bytes([i % 256]) * (1316 if i % 2 == 0 else 188), (group, port))
                    i += 1
            t = threading.Thread(target=send)
            t.start()
            out_text, _ = rec.communicate(timeout=20)
            stop.set()
            t.join()
            s.close()
            summary = json.loads(out_text)
            self.assertEqual(rec.returncode, 0)
            self.assertGreater(summary["datagrams"], 10)
            self.assertEqual(set(summary["sizes"]), {"1316", "188"})
            self.assertEqual(sum(summary["sizes"].values()), summary["datagrams"])
            self.assertEqual(os.path.getsize(out), summary["bytes"])
            self.assertEqual(summary["bytes"], 1316 * summary["sizes"]["1316"]
                             + 188 * summary["sizes"]["188"])
            self.assertGreater(summary["bit_rate"], 0)


if __name__ == "__main__":
    sys.exit(main())
