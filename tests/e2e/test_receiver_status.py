#!/usr/bin/env python3
"""The receiver's STATUS while it plays what the transmitter streams: the
lock flag follows the player's current item (through the agent), LANG
plays the chosen language's PID of the played program, and an
agent that leaves that read unanswered gives lock 0 and the "snmp" report.
Runs under `devsim run --tx --rx --channel 5=<a capture with program 0x101>`."""

import os
import re

from vyxe2e import (OK, Controller, DeviceTestCase, main, poll, read_jsonl, read_text,
                    wait_for_text, world_dir)

OID_ITEM = ".1.3.6.1.4.1.32473.3.3.1.0"
STATUS_RE = re.compile(rb"^STATUS (\d+) ([0-9.]*):(\d+) (\d+):([0-9a-f]{4}) (\d) (\d) (\d) 0 (\d{1,3})%OK\r\n$")


class ReceiverStatus(DeviceTestCase):
    def status(self):
        with Controller() as ctl:
            got = ctl.command(("10.77.0.3", 2008), "STATUS", 15)
        self.assertIsNotNone(got, "no STATUS reply")
        m = STATUS_RE.match(got)
        self.assertIsNotNone(m, got)
        self.assertLessEqual(int(m.group(9)), 100, got)
        return got, m

    def test_lock_follows_playback(self):
        self.assertReply("tx", "UNIT1,239.1.1.1,1234,5", OK, timeout=30)
        self.assertReply("rx", "UNIT1,239.1.1.1,1234,0,101", OK, timeout=30)
        # Playing: the group, its port, lock 5 and the program the player plays.
        got, m = poll(lambda: (lambda s: s if s[1].group(4) == b"5" else None)(self.status()),
                      20, "lock 5 in the receiver's STATUS")
        self.assertEqual(m.group(1, 2, 3, 5), (b"1", b"239.1.1.1", b"1234", b"0101"), got)
        self.assertEqual(read_text("rx", "player-item.txt").strip(), "Stream udp://239.1.1.1:1234")

        # LANG: the language becomes the played program's PID for it (0x84
        # carries "qaa" in this capture), and the layer is played again with it.
        loads = len(read_jsonl("rx", "player.jsonl"))
        self.assertReply("rx", "LANG qaa,0", OK, timeout=30)
        replay = poll(lambda: [e for e in read_jsonl("rx", "player.jsonl")[loads:]
                               if e.get("name") == "vdbg" and e.get("paramVal") == 14], 10,
                      "the layer played again")
        self.assertEqual(replay[0]["param"][:2], [0x101, 0x84])

        # An agent that does not answer the read: reported, and no lock.
        silent = os.path.join(world_dir(), "rx", "agent-silent.txt")
        start = len(read_text("rx", "stderr.log"))
        with open(silent, "w") as f:
            f.write(OID_ITEM + "\n")
        try:
            got, m = self.status()
            self.assertEqual(m.group(4), b"0", got)
            wait_for_text("rx", "stderr.log", r"PANIC at \S+  snmp", 10, start)
        finally:
            os.remove(silent)

        # Stopped: the item says None and the lock goes.
        self.assertReply("rx", "UNIT0", OK, timeout=30)
        got, m = poll(lambda: (lambda s: s if s[1].group(4) == b"0" else None)(self.status()),
                      20, "lock 0 after UNIT0")
        self.assertEqual(m.group(1, 2, 3, 5), (b"0", b"0.0.0.0", b"0", b"0000"), got)
        self.assertEqual(read_text("rx", "player-item.txt").strip(), "None")
        self.assertReply("tx", "UNIT0", OK)


if __name__ == "__main__":
    main()
