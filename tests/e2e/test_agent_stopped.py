#!/usr/bin/env python3
"""A stopped SNMP agent does not stop the command server.

The transmitter host's agent stand-in is stopped with SIGSTOP while commands
arrive: a command that asks the agent is answered "KO" once its bounded wait
(3 s divided by the time scale, at least 1 s per exchange) has run out, the
device keeps answering the commands that need no agent, and a RESET refused
meanwhile is not carried out later, once the agent runs again (SIGCONT) and
answers the next requests.  Runs under `devsim run --tx --time-scale 10`.
"""

import os
import signal
import time

from vyxe2e import (Controller, DeviceTestCase, device, main, read_text, standin_pid, time_scale,
                    wait_for_text)


class AgentStopped(DeviceTestCase):
    def test_commands_go_on_while_the_agent_is_stopped(self):
        tx = device("tx")
        bound = max(3.0 / time_scale(), 1.0)  # one agent exchange
        agent = standin_pid("tx", "snmpagent")
        player = read_text("tx", "player.pid").strip()
        errors_at = len(read_text("tx", "stderr.log"))
        with Controller() as ctl:
            self.assertTrue(ctl.command(tx, "IP?", timeout=10).startswith(b"DHCP:"))
            os.kill(agent, signal.SIGSTOP)
            try:
                # Four reads, each given up after its bound.
                t0 = time.monotonic()
                self.assertEqual(ctl.command(tx, "IP?", timeout=4 * bound + 10), b"KO\r\n")
                took = time.monotonic() - t0
                self.assertGreaterEqual(took, 0.9 * bound)
                self.assertLess(took, 4 * bound + 5)
                # No agent needed: answered at once.
                t0 = time.monotonic()
                self.assertEqual(ctl.command(tx, "VERS", timeout=5), b"VERS0.82.14OK\r\n")
                self.assertLess(time.monotonic() - t0, 2)
                self.assertTrue(ctl.command(tx, "STATUS", timeout=10).startswith(b"STATUS "))
                # Refused while the agent sleeps: the request is taken back.
                self.assertEqual(ctl.command(tx, "RESET", timeout=bound + 10), b"KO\r\n")
                wait_for_text("tx", "stderr.log", "no reply from the snmp agent", 5, errors_at)
            finally:
                os.kill(agent, signal.SIGCONT)
            # The agent answers again; its late replies are not taken for these.
            reply = None
            for _ in range(5):
                reply = ctl.command(tx, "IP?", timeout=4 * bound + 10)
                if reply is not None and reply.startswith(b"DHCP:"):
                    break
            self.assertTrue(reply.startswith(b"DHCP:"), reply)
            # The refused RESET never reached the agent: no reboot came.
            time.sleep(max(3.0 / time_scale(), 1.0))
            self.assertEqual(read_text("tx", "player.pid").strip(), player)
            self.assertEqual(ctl.command(tx, "VERS", timeout=5), b"VERS0.82.14OK\r\n")


if __name__ == "__main__":
    main()
