#!/usr/bin/env python3
"""Network commands of the transmitter against an agent that really applies
them: "IP?" with a read the agent leaves unanswered, "DHCP" with static
addresses (the host moves, the device answers and announces itself there)
and with DHCP on (a lease from the world's DHCP server).  Runs under
`devsim run --tx --dhcp`; the tests run in the order of their names, each
starting where the device was left."""

import os
import re
import shutil

from vyxe2e import (HOST_IPS, KO, OK, VERSION_REPLY, Controller, DeviceTestCase, beacons,
                    expected_beacon, host_mac, main, poll, read_text, wait_for_text, world_dir)

PORT = 5000
OID_GATEWAY = ".1.3.6.1.4.1.32473.3.1.3.0"
OID_COMMIT = ".1.3.6.1.4.1.32473.3.1.7.0"
STATIC_IP = "10.77.0.20"
LOG_WAIT = 10.0


def leased_address(mac: str):
    """The address the world's DHCP server leased to a MAC (aa:bb:..), if any."""
    try:
        with open(os.path.join(world_dir(), "dnsmasq.leases")) as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 3 and fields[1].lower() == mac:
                    return fields[2]
    except FileNotFoundError:
        pass
    return None


class Network(DeviceTestCase):
    where = (HOST_IPS["tx"], PORT)

    def ask(self, text, dest=None, timeout=5.0, ctl=None):
        own = ctl is None
        ctl = ctl or Controller()
        try:
            return ctl.command(dest or self.where, text, timeout)
        finally:
            if own:
                ctl.close()

    def ip_reply(self, dhcp, ip, mask="255.255.255.0", gateway="10.77.0.1"):
        return ("DHCP:%d MAC:%s IP:%s GW:%s NM:%s OK\r\n"
                % (dhcp, host_mac("tx"), ip, gateway, mask)).encode()

    def test_1_ip_query_reports_an_unanswered_read(self):
        silent = os.path.join(world_dir(), "tx", "agent-silent.txt")
        start = len(read_text("tx", "stderr.log"))
        with open(silent, "w") as f:
            f.write(OID_GATEWAY + "\n")
        try:
            # Every read is still tried: the gateway's is the one reported.
            self.assertEqual(self.ask("IP?", timeout=15), KO)
            wait_for_text("tx", "stderr.log", r"PANIC at \S+  gateway addr", LOG_WAIT, start)
            later = read_text("tx", "stderr.log")[start:]
            self.assertNotRegex(later, r"PANIC at \S+  (dhcp|ip addr)\n")
        finally:
            os.remove(silent)
        self.assertEqual(self.ask("IP?"), self.ip_reply(0, HOST_IPS["tx"]))

    def test_2_static_addresses_move_the_device(self):
        with Controller() as ctl:
            ctl.drain()
            ctl.send(self.where, "DHCP0,%s,10.77.0.1,255.255.255.0" % STATIC_IP)
            got = ctl.collect(6.0, until=lambda g: len(g) > 1)
        # One early "OK", no second reply after a good commit.
        self.assertEqual([d for d in got if not d.startswith(b"LOG")], [OK])
        new = (STATIC_IP, PORT)
        poll(lambda: self.ask("VERS", new, timeout=1) == VERSION_REPLY, 20,
             "VERS answered at %s" % STATIC_IP)
        self.assertEqual(self.ask("IP?", new), self.ip_reply(0, STATIC_IP))
        self.assertIsNone(self.ask("VERS", timeout=1), "the old address still answers")
        got = beacons([STATIC_IP], timeout=30)
        self.assertEqual(got[STATIC_IP], expected_beacon("tx", host_mac("tx")))
        Network.where = new

    def test_3_dhcp_on_gives_a_leased_address(self):
        if not shutil.which("udhcpc"):
            self.skipTest("no DHCP client (udhcpc) here: scripts/deps.sh installs it")
        mac = ":".join(re.findall("..", host_mac("tx")))
        self.assertEqual(self.ask("DHCP1"), OK)
        leased = poll(lambda: leased_address(mac), 30, "a lease for %s" % mac)
        self.assertTrue(leased.startswith("10.77.0."), leased)
        self.assertGreaterEqual(int(leased.rsplit(".", 1)[1]), 100)
        dest = (leased, PORT)
        poll(lambda: self.ask("VERS", dest, timeout=1) == VERSION_REPLY, 30,
             "VERS answered at the leased %s" % leased)
        got = beacons([leased], timeout=30)
        self.assertEqual(got[leased], expected_beacon("tx", host_mac("tx")))
        # The agent reports the lease (the server is also the router).
        self.assertEqual(self.ask("IP?", dest), self.ip_reply(1, leased, gateway=HOST_IPS["controller"]))
        Network.where = dest

    def test_4_an_unanswered_commit_gives_a_second_reply(self):
        silent = os.path.join(world_dir(), "tx", "agent-silent.txt")
        with open(silent, "w") as f:
            f.write(OID_COMMIT + "\n")
        try:
            with Controller() as ctl:
                ctl.drain()
                ctl.send(self.where, "DHCP1")
                got = ctl.collect(15.0, until=lambda g: len(g) > 1)
        finally:
            os.remove(silent)
        self.assertEqual([d for d in got if not d.startswith(b"LOG")], [OK, KO])


if __name__ == "__main__":
    main()
