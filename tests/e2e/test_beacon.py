#!/usr/bin/env python3
"""Discovery beacons of both devices: what arrives on 239.255.250.250:52428
carries the host's eth0 MAC and the library's version, and "VYX" answers
exactly the beacon text.  Runs under `devsim run --tx --rx`."""

from vyxe2e import (HOST_IPS, DeviceTestCase, beacons, expected_beacon, host_mac, main)

HOSTS = ("tx", "rx")


class Beacon(DeviceTestCase):
    def test_beacon_carries_mac_and_matches_vyx(self):
        macs = {h: host_mac(h) for h in HOSTS}
        self.assertNotEqual(macs["tx"], macs["rx"])
        got = beacons([HOST_IPS[h] for h in HOSTS], timeout=30)
        for host in HOSTS:
            beacon = got[HOST_IPS[host]]
            self.assertEqual(beacon, expected_beacon(host, macs[host]))
            self.assertReply(host, "VYX", beacon)
            self.assertReply(host, "vyx?", beacon)

    def test_restart_request_brings_a_beacon_while_commanded(self):
        # Commands put the beacon to sleep; a restart request wakes it.
        for host in HOSTS:
            self.assertReply(host, "VIDEO", b"OK\r\n")
        got = beacons([HOST_IPS["tx"]], timeout=30)
        self.assertTrue(got[HOST_IPS["tx"]].startswith(b"VYXB<Device-UUID=VYX_IPTV_TX_QAM-"))


if __name__ == "__main__":
    main()
