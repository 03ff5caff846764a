#!/usr/bin/env python3
"""The program guide of the WNET capture (channel 6 of the world): the
transmitter streams it, takes the time from its STT and its events from the
EITs, and answers EITN, EITL and EITI with the EITI lines those events imply,
through the tuner forwarding to the controller that asked.  Runs under
`devsim run --tx --channel 6=tests/data/samples/atsc-wnet13-psip.ts`."""

from vyxe2e import OK, Controller, DeviceTestCase, device, main, poll

GROUP, PORT = "239.1.1.1", 1234


def line(start, duration, title):
    return "EITI e1c7 %s %s S%d,00[%s]L0,00[]\r\n" % (start, duration, len(title), title)


# Program 3 (source 1) from 12:30, the capture's STT being 12:37 UTC.
P3 = [line("1230", "0030", "Ready Jet Go!"), line("1300", "0030", "Nature Cat"),
      line("1330", "0030", "Curious George"),
      line("1400", "0030", "Daniel Tiger's Neighborhood")]


class WnetGuide(DeviceTestCase):
    @classmethod
    def setUpClass(cls):
        # One controller port throughout: the forwarding keeps the first asker.
        cls.ctl = Controller()
        reply = cls.ctl.command(device("tx"), "UNIT1,%s,%d,6" % (GROUP, PORT), timeout=60)
        assert reply == OK, reply

    @classmethod
    def tearDownClass(cls):
        cls.ctl.command(device("tx"), "UNIT0", timeout=60)
        cls.ctl.close()
        super().tearDownClass()

    def ask(self, text, timeout=10.0):
        """The guide answer to one query as text, or None."""
        data = self.ctl.guide(device("tx"), text, timeout)
        return None if data is None else data.decode("latin-1")

    def wait_guide(self, query, want):
        got = poll(lambda: (lambda a: a if a == want else None)(self.ask(query, 5.0)),
                   60, "the answer %r to %s" % (want, query), interval=0.5)
        self.assertEqual(got, want)

    def test_now_and_next(self):
        self.wait_guide("EITN0007db,0003", P3[0] + P3[1] + "OK\r\n")
        # Either case; the transport id is not compared.
        self.assertEqual(self.ask("eitn7db,3"), P3[0] + P3[1] + "OK\r\n")
        self.assertEqual(self.ask("EITN0001,0003"), P3[0] + P3[1] + "OK\r\n")

    def test_list_of_ninety_minutes(self):
        self.wait_guide("EITL0007db,0003,0130", "".join(P3) + "OK\r\n")
        self.assertEqual(self.ask("EITL0007db,0004,0030"),
                         line("1230", "0030", "WordGirl") + line("1300", "0030", "Arthur") + "OK\r\n")

    def test_event_at_a_time(self):
        self.wait_guide("EITI0007db,0003,e1c7,1845",
                        line("1830", "0100", "Charlie Rose") + "OK\r\n")
        self.assertEqual(self.ask("EITI0007db,0004,E1C7,2359"),
                         line("2330", "0030", "Ready Jet Go!") + "OK\r\n")
        self.assertEqual(self.ask("EITI0007db,0005,e1c7,2045"),
                         line("2030", "0030", "Planeta Feroz: Wonderful World (V-Me)") + "OK\r\n")
        # Nothing there (the next day) and a program without events.
        self.assertEqual(self.ask("EITI0007db,0003,e1c8,0300"), "EITI OK\r\n")
        self.assertEqual(self.ask("EITN0007db,0009"), "EITI OK\r\n")

    def test_refusals(self):
        self.assertEqual(self.ctl.command(device("tx"), "EITX1,2"), b"KO\r\n")
        # Bad parameters: no answer at all.
        self.assertIsNone(self.ask("EITI0007db,0003", 2.0))


if __name__ == "__main__":
    main()
