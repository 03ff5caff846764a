#!/usr/bin/env python3
"""The FILTER diagnostic on both devices: aimed at the device's own command
port or at the beacon's restart port it is refused and the device keeps
answering; on another port it ends on an empty datagram, or by itself when
nothing comes, and leaves no socket bound.  Runs under `devsim run --tx --rx`
(the idle end is 30 s divided by the world's time scale)."""

import socket

from vyxe2e import (BEACON_REQUEST_PORT, KO, VERSION_REPLY, Controller, DeviceTestCase, device,
                    exec_host, main, poll, read_text, time_scale, wait_for_text)

HOSTS = ("tx", "rx")
DEADLINE = 30.0
IDLE = 30.0 / time_scale()
# A null transport packet, seven to a datagram as a stream would carry them.
NULL_PACKETS = (b"\x47\x1f\xff\x10" + b"\xff" * 184) * 7


def udp_sockets(host, port):
    """Sockets bound to a UDP port inside a device host (/proc/net/udp)."""
    lines = exec_host(host, "cat", "/proc/net/udp").stdout.splitlines()[1:]
    return sum(1 for line in lines
               if int(line.split()[1].rpartition(":")[2], 16) == port)


class FilterDiagnostic(DeviceTestCase):
    def assertAnswering(self, host, ctl):
        got = ctl.command(device(host), "VERS", DEADLINE,
                          accept=lambda d: d.startswith(b"VERS"))
        self.assertEqual(got, VERSION_REPLY, "%s stopped answering" % host)

    def test_own_ports_are_refused(self):
        for host in HOSTS:
            ip, own = device(host)
            with Controller() as ctl:
                for port in (own, BEACON_REQUEST_PORT):
                    start = len(read_text(host, "stderr.log"))
                    self.assertReply(host, "FILTER 239.1.1.9,%d" % port, KO, DEADLINE, ctl)
                    wait_for_text(host, "stderr.log", r"Filter refused on port %d" % port,
                                  DEADLINE, start)
                    # What used to end the diagnostic, and would have left a
                    # second socket on the port: the device must not care.
                    ctl.send((ip, port), b"")
                    self.assertAnswering(host, ctl)
                    self.assertEqual(udp_sockets(host, port), 1, "%s port %d" % (host, port))

    def test_other_port_ends_and_unbinds(self):
        for n, host in enumerate(HOSTS):
            ip, own = device(host)
            fed, quiet = 47000 + 2 * n, 47001 + 2 * n
            with Controller() as ctl, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as src:
                # Fed, then ended by an empty datagram once the port is bound
                # (before that, datagrams would only bounce).
                start = len(read_text(host, "stderr.log"))
                ctl.drain()
                ctl.send((ip, own), "FILTER 239.1.1.9,%d" % fed)
                poll(lambda: udp_sockets(host, fed) == 1, DEADLINE,
                     "the diagnostic's socket on %s:%d" % (host, fed))
                for _ in range(20):
                    src.sendto(NULL_PACKETS, (ip, fed))
                src.sendto(b"", (ip, fed))
                got = ctl.collect(DEADLINE, until=lambda g: KO in g)
                self.assertIn(KO, got, "%s: no reply when the diagnostic ended" % host)
                self.assertNotIn("no datagram", read_text(host, "stderr.log")[start:],
                                 "%s: ended by the idle time, not the empty datagram" % host)
                self.assertAnswering(host, ctl)
                self.assertEqual(udp_sockets(host, fed), 0, "%s: port %d still bound" % (host, fed))
                self.assertEqual(udp_sockets(host, own), 1)

                # Nothing comes: the diagnostic ends by itself and says why.
                ctl.drain()
                ctl.send((ip, own), "FILTER 239.1.1.9,%d" % quiet)
                got = ctl.collect(IDLE + DEADLINE, until=lambda g: KO in g)
                self.assertIn(KO, got, "%s: the idle diagnostic never ended" % host)
                wait_for_text(host, "stderr.log",
                              r"Filter on port %d: no datagram for 30 s, ending" % quiet,
                              DEADLINE, start)
                self.assertAnswering(host, ctl)
                self.assertEqual(udp_sockets(host, quiet), 0)
                self.assertEqual(udp_sockets(host, own), 1)


if __name__ == "__main__":
    main()
