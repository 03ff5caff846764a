#!/usr/bin/env python3
"""Life of the transmitter's plug-in inside its host: a second load request
only reports "Starting VYX twice", and RESET reboots the device through the
SNMP agent, after which the host brings it back.  Runs under
`devsim run --tx`."""

from vyxe2e import (VERSION_REPLY, OK, Controller, DeviceTestCase, device, exec_host, main,
                    poll, read_jsonl, read_text, wait_for_text)

REBOOT_OID = ".1.3.6.1.4.1.32473.3.5.7.0"


class Lifecycle(DeviceTestCase):
    def test_second_start_is_reported_and_harmless(self):
        start = len(read_text("tx", "stderr.log"))
        exec_host("tx", "k720cmmd", "-vdbg", "12")
        wait_for_text("tx", "stderr.log", r"PANIC at \S+:\d+  Starting VYX twice", 20, start)
        self.assertReply("tx", "VERS", VERSION_REPLY)

    def test_reset_reboots_the_device(self):
        before = read_text("tx", "player.pid").strip()
        self.assertReply("tx", "RESET", OK)
        sets = poll(lambda: [e for e in read_jsonl("tx", "agent.jsonl")
                             if e.get("event") == "set" and e.get("oid") == REBOOT_OID],
                    10, "the REBOOT set in agent.jsonl")
        self.assertTrue(sets)
        poll(lambda: read_text("tx", "player.pid").strip() not in ("", before), 30,
             "a new player")
        # The new player loads the plug-in again and serves commands.
        with Controller() as ctl:
            poll(lambda: ctl.command(device("tx"), "VERS", 1.0) == VERSION_REPLY, 30,
                 "VERS after the reboot")
        self.assertIn("reboot", read_text("tx", "supervisor.log"))


if __name__ == "__main__":
    main()
