#!/usr/bin/env python3
"""Who may command a device: the receiver given a list of controllers with
`vyxctl allow` (the controller host only), a source that is not listed (the
transmitter host) getting nothing while its VERS, RESET and UPGR do nothing
and the refusal counter moves, the list read again after a restart, a
broken list file reported and every source served, and the list removed.
Runs under `devsim run --tx --rx`; the tests run in the order of their
names."""

import json
import os
import subprocess

from vyxe2e import (HOST_IPS, VERSION_REPLY, Controller, DeviceTestCase, device, exec_host, main,
                    read_jsonl, read_text, restart_device, wait_for_text, world_dir)

REBOOT_OID = ".1.3.6.1.4.1.32473.3.5.7.0"

# Sends one datagram from the host it runs on and prints the first reply
# (escaped) or "none" when nothing comes within the wait.
SEND_ONCE = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(float(sys.argv[4]))
s.sendto(sys.argv[3].encode(), (sys.argv[1], int(sys.argv[2])))
try:
    print(repr(s.recvfrom(65535)[0]))
except socket.timeout:
    print("none")
"""


def from_tx_host(text, wait=2.0):
    """The reply of the receiver to a command sent from the transmitter's
    host (an address no list below holds), or None."""
    ip, port = device("rx")
    out = exec_host("tx", "python3", "-c", SEND_ONCE, ip, str(port), text, str(wait)).stdout.strip()
    return None if out == "none" else eval(out)  # noqa: S307 (repr of bytes from the line above)


def vyxctl(*args):
    r = subprocess.run(["vyxctl", *args, "--json"], capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        raise AssertionError("vyxctl %s: exit %d: %s" % (" ".join(args), r.returncode, r.stderr))
    return json.loads(r.stdout)


def list_file():
    return os.path.join(world_dir(), "rx", "hd1", "vyx_controllers")


class Controllers(DeviceTestCase):
    def setUp(self):
        self.ctl = Controller()
        self.rx = device("rx")

    def tearDown(self):
        self.ctl.close()

    def ask(self, text, timeout=5.0):
        return self.ctl.command(self.rx, text, timeout)

    def refused_count(self):
        start = len(read_text("rx", "stdout.log"))
        self.ask("DUMPSTATS")
        m = wait_for_text("rx", "stdout.log", r"Commands refused from unlisted sources (\d+)\n", 10,
                          start)
        return int(m.group(1))

    def test_1_without_a_list_every_source_is_served(self):
        self.assertEqual(self.ask("CONTROLLERS?"), b"CONTROLLERS0 OK\r\n")
        self.assertEqual(from_tx_host("VERS"), VERSION_REPLY)

    def test_2_only_listed_controllers_are_served(self):
        got = vyxctl("allow", "tx,rx", HOST_IPS["controller"], "10.77.5.0/24")
        self.assertEqual([(r["device"], r["ok"], r["controllers"]) for r in got],
                         [(d, True, [HOST_IPS["controller"], "10.77.5.0/24"]) for d in ("tx", "rx")])
        with open(list_file()) as f:
            self.assertIn("%s\n10.77.5.0/24\n" % HOST_IPS["controller"], f.read())
        refused = self.refused_count()

        # The unlisted host gets no reply, and its commands do nothing.
        player = read_text("rx", "player.pid").strip()
        reboots = len([e for e in read_jsonl("rx", "agent.jsonl") if REBOOT_OID in json.dumps(e)])
        for text in ("VERS", "RESET", "UPGR4096", "CONTROLLERS0"):
            self.assertIsNone(from_tx_host(text), text)
        self.assertEqual(self.ask("UPGR?"), b"UPGRSTATUS0 OK\r\n\r\n")
        self.assertEqual(self.ask("CONTROLLERS?"),
                         b"CONTROLLERS2,%s,10.77.5.0/24 OK\r\n" % HOST_IPS["controller"].encode())
        self.assertEqual(read_text("rx", "player.pid").strip(), player, "the receiver restarted")
        self.assertEqual(len([e for e in read_jsonl("rx", "agent.jsonl")
                              if REBOOT_OID in json.dumps(e)]), reboots,
                         "the agent was asked to reboot for the unlisted source")
        self.assertEqual(self.refused_count(), refused + 4)
        wait_for_text("rx", "stderr.log",
                      r"Command from %s:\d+ refused: not a listed controller" % HOST_IPS["tx"], 10)
        # The listed controller is served as before.
        self.assertEqual(self.ask("VERS"), VERSION_REPLY)
        # The transmitter's own list holds the controller: it is served there.
        self.assertEqual(self.ctl.command(device("tx"), "VERS", 5.0), VERSION_REPLY)
        self.assertEqual(vyxctl("allow", "tx", "--clear")["controllers"], [])

    def test_3_the_list_survives_a_restart(self):
        restart_device("rx")
        self.assertEqual(vyxctl("allow", "rx", "--show")["controllers"],
                         [HOST_IPS["controller"], "10.77.5.0/24"])
        self.assertIsNone(from_tx_host("VERS"))

    def test_4_a_broken_file_is_reported_and_everyone_served(self):
        with open(list_file(), "w") as f:
            f.write("# typed by hand\n10.77.0.999\ncontroller-host\n")
        start = len(read_text("rx", "stderr.log"))
        restart_device("rx")
        wait_for_text("rx", "stderr.log", r"lists no valid controller: every controller is served",
                      10, start)
        self.assertEqual(from_tx_host("VERS"), VERSION_REPLY)
        self.assertEqual(self.ask("CONTROLLERS?"), b"CONTROLLERS0 OK\r\n")

    def test_5_the_list_is_removed(self):
        self.assertEqual(vyxctl("allow", "rx", HOST_IPS["controller"])["controllers"],
                         [HOST_IPS["controller"]])
        self.assertIsNone(from_tx_host("VERS"))
        self.assertEqual(vyxctl("allow", "rx", "--clear")["controllers"], [])
        self.assertFalse(os.path.exists(list_file()))
        self.assertEqual(from_tx_host("VERS"), VERSION_REPLY)
        # A list that leaves out its sender is refused: the sender would be
        # locked out.
        r = subprocess.run(["vyxctl", "allow", "rx", "10.77.9.0/24"], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("refused", r.stderr)
        self.assertEqual(self.ask("CONTROLLERS?"), b"CONTROLLERS0 OK\r\n")


if __name__ == "__main__":
    main()
