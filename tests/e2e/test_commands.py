#!/usr/bin/env python3
"""Command server of both devices, seen from the controller: golden replies,
refusals, the error and log datagrams of CALLBACK1/DEBUG2, and the cut of an
oversized command datagram.  Runs under `devsim run --tx --rx`."""

import re

from vyxe2e import (KO, OK, VERSION_REPLY, Controller, DeviceTestCase, device, main,
                    read_text, wait_for_text)

HOSTS = ("tx", "rx")
LOG_WAIT = 10.0


class Commands(DeviceTestCase):
    def test_vers_in_any_case(self):
        for host in HOSTS:
            for text in ("VERS", "vers", "vErS", "VERSION please"):
                self.assertReply(host, text, VERSION_REPLY)

    def test_video_is_accepted_without_effect(self):
        for host in HOSTS:
            self.assertReply(host, "VIDEO", OK)
            self.assertReply(host, "video 1,2,3,4", OK)

    def test_unknown_keywords_are_refused(self):
        for host in HOSTS:
            for text in ("HELLO", "VER", "VI", "X", "\x00VERS"):
                self.assertReply(host, text, KO)

    def test_remote_on_transmitter_is_a_bad_type(self):
        start = len(read_text("tx", "stderr.log"))
        self.assertReply("tx", "REMOTE1F", KO)
        wait_for_text("tx", "stderr.log", r"PANIC at \S+:\d+  Bad type T", LOG_WAIT, start)
        # and the device goes on serving
        self.assertReply("tx", "VERS", VERSION_REPLY)

    def test_callback_sends_logs_and_errors_to_the_controller_port(self):
        tx = device("tx")
        with Controller() as ctl, Controller() as other:
            try:
                self.assertReply("tx", "CALLBACK1", OK, ctl=ctl)
                self.assertReply("tx", "DEBUG2", KO, ctl=ctl)

                # A command from another port: its reply goes there, the log
                # of its arrival to the CALLBACK port.
                self.assertReply("tx", "VERS", VERSION_REPLY, ctl=other)
                want = b"LOG: CommandManager recvd: VERS\n\r\n\x00"
                got = ctl.collect(LOG_WAIT, until=lambda g: want in g)
                self.assertIn(want, got)
                for data in got:
                    if data.startswith(b"LOG: "):
                        self.assertTrue(data.endswith(b"\r\n\x00"), data)
                self.assertFalse([d for d in other.collect(0.3) if d.startswith(b"LOG")],
                                 "log datagrams went to a port that did not ask")

                # An error report reaches the controller as "LOG:ERROR " +
                # message + CR LF, without a terminating zero.
                ctl.drain()
                ctl.send(tx, "REMOTE1")
                want = b"LOG:ERROR Bad type T\r\n"
                got = ctl.collect(LOG_WAIT, until=lambda g: want in g and KO in g)
                self.assertIn(want, got)
                self.assertIn(KO, got)
            finally:
                ctl.command(tx, "DEBUG0")
                ctl.command(tx, "CALLBACK0")
            # Logging off and the destination gone: nothing but the reply.
            self.assertReply("tx", "VERS", VERSION_REPLY, ctl=ctl)
            self.assertEqual([d for d in ctl.collect(0.5) if d.startswith(b"LOG")], [])

    def test_oversized_command_is_cut_to_2040_bytes(self):
        for host in HOSTS:
            start = len(read_text(host, "stdout.log"))
            with Controller() as ctl:
                try:
                    self.assertReply(host, "DEBUG1", KO, ctl=ctl)
                    # 2100 bytes: the server reads 2040 of them.
                    self.assertReply(host, "VIDEO" + "x" * 2095, OK, ctl=ctl)
                    m = wait_for_text(host, "stdout.log",
                                      r"CommandManager recvd: VIDEO(x*)\n", LOG_WAIT, start)
                    self.assertEqual(len(m.group(1)), 2040 - len("VIDEO"))
                    # The receive buffer is emptied between commands.
                    self.assertReply(host, "VERS", VERSION_REPLY, ctl=ctl)
                    later = read_text(host, "stdout.log")[m.end():]
                    self.assertRegex(later, re.compile(r"CommandManager recvd: VERS\n"))
                finally:
                    ctl.command(device(host), "DEBUG0")


if __name__ == "__main__":
    main()
