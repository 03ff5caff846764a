#!/usr/bin/env python3
"""System time of the transmitter from the ATSC System Time Table: before any
stream "TIME" answers the GPS epoch, and once the transmitter is tuned to
the WNET capture it answers the time of the capture's STT (GPS 1171197444,
17 leap seconds: MJD 0xe1c7, 12:37 UTC).  A receiver has no time to give.
Runs under `devsim run --tx --rx --channel 5=tests/data/samples/atsc-wnet13-psip.ts`."""

from vyxe2e import KO, OK, Controller, DeviceTestCase, device, has_device, main, poll


class SystemTime(DeviceTestCase):
    def test_time_answers_the_captures_stt(self):
        with Controller() as ctl:
            self.assertEqual(ctl.command(device("tx"), "TIME"), b"TIME acd4 0000 OK\r\n")
            self.assertEqual(ctl.command(device("tx"), "UNIT1,239.1.1.1,1234,5", 30), OK)
            try:
                got = poll(lambda: (lambda r: r if r != b"TIME acd4 0000 OK\r\n" else None)(
                    ctl.command(device("tx"), "time", 2.0)), 30, "a TIME from the STT")
                self.assertEqual(got, b"TIME e1c7 1237 OK\r\n")
                # The capture loops: the same STT keeps the same answer.
                self.assertEqual(ctl.command(device("tx"), "TIME"), b"TIME e1c7 1237 OK\r\n")
            finally:
                self.assertEqual(ctl.command(device("tx"), "UNIT0", 30), OK)

    def test_receiver_has_no_time(self):
        if not has_device("rx"):
            self.skipTest("no receiver in this world")
        self.assertReply("rx", "TIME", KO)


if __name__ == "__main__":
    main()
