#!/usr/bin/env python3
"""The program guide from a generated stream with Huffman-coded strings:
titles coded with the title tree (compression 1) in EIT-0..3 over several
sections, descriptions coded with the description tree (2) or plain in ETTs,
one description ahead of its event's EIT.  The transmitter tuned to it
answers the guide queries with the decoded texts.  The stream's STT says
08:00:30 UTC on MJD 0xe79a.  Runs under `devsim run --tx --channel
5=<build>/tests/guide-huffman.ts` (made by make_guide_stream)."""

from vyxe2e import OK, StreamedGuideTestCase, main

NOW = b"TIME e79a 0800 OK\r\n"
MORNING = b"EITI e79a 0730 0100 S12,00[Morning News]L31,00[Headlines, weather and traffic.]\r\n"
COOK = b"EITI e79a 0830 0030 S24,00[Cook ~ with [Ana] {live}]L18,00[Pasta, plain text.]\r\n"
MOVIE = (b'EITI e79a 0900 0130 S15,00[Movie: "Q&A" 2*]'
         b"L33,00[A film about questions; 1999 (R).]\r\n")
LATE = b"EITI e79a 1030 0100 S12,00[Late Morning]L0,00[]\r\n"
NOON = b"EITI e79a 1130 0030 S10,00[Noon Brief]L0,00[]\r\n"
MATINEE = b"EITI e79a 1200 0200 S17,00[Afternoon Matinee]L0,00[]\r\n"
KIDS = b"EITI e79a 0700 0200 S10,00[Kids Block]L0,00[]\r\n"
SCIENCE = b"EITI e79a 0900 0100 S12,00[Science Hour]L19,00[Volcanoes & oceans!]\r\n"


class HuffmanGuide(StreamedGuideTestCase):
    NOW = NOW
    # Every event and text has arrived once the last ETT's event has both.
    READY = ("EITN0101,0001", MORNING + COOK + OK, "the current and next events of program 1")

    def test_now_and_next_decode_titles_and_descriptions(self):
        self.assertEqual(self.ask("EITN0101,0001"), MORNING + COOK + OK)
        self.assertEqual(self.ask("eitn101,2"), KIDS + SCIENCE + OK)

    def test_list_for_ninety_minutes(self):
        # 60 + 30 minutes reach 90 without passing it: the third one passes it.
        self.assertEqual(self.ask("EITL0101,0001,0130"), MORNING + COOK + MOVIE + OK)
        self.assertEqual(self.ask("EITL0101,0001,0100"), MORNING + COOK + OK)

    def test_event_at_a_time_in_every_eit(self):
        self.assertEqual(self.ask("EITI0101,0001,e79a,0915"), MOVIE + OK)
        self.assertEqual(self.ask("EITI0101,0001,e79a,1045"), LATE + OK)
        self.assertEqual(self.ask("EITI0101,0001,e79a,1140"), NOON + OK)
        self.assertEqual(self.ask("EITI0101,0001,e79a,1330"), MATINEE + OK)
        self.assertEqual(self.ask("EITI0101,0001,e79a,1430"), b"EITI OK\r\n")
        self.assertEqual(self.ask("EITI0101,0002,e79a,0930"), SCIENCE + OK)


if __name__ == "__main__":
    main()
