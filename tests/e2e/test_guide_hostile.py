#!/usr/bin/env python3
"""A hostile guide stream: counts and lengths past the end of their
sections, Huffman segments of random bits, 255 events in one section and an
ETT of nearly 4 KB of non-plain text.  The transmitter keeps answering, its guide
answers stay within their buffer and end with "OK\\r\\n", and the sanitizers
stay silent.  Runs under `devsim run --tx --channel
5=<build>/tests/guide-hostile.ts` (made by make_guide_stream)."""

import re

from vyxe2e import OK, VERSION_REPLY, StreamedGuideTestCase, main, poll

NOW = b"TIME e79a 0800 OK\r\n"
AFTER_CUT = b"EITI e79a 0800 0100 S13,00[After the cut]L0,00[]\r\n"
# The guide answer's buffer: two lines of a 128-byte title and a 4,096-byte
# text, both as hex.
ANSWER_MAX = 2 * (64 + 3 * 128 + 32 + 3 * 4096 + 4) + 8
LINE = re.compile(rb"EITI [0-9a-f]+ \d{4} \d{4} S\d+,[0-9a-f]{2}\[.*?\]L\d+,[0-9a-f]{2}\[.*?\]\r\n",
                  re.S)


class HostileGuide(StreamedGuideTestCase):
    NOW = NOW
    # The section after a cut one on the same PID is still collected.
    READY = ("EITN0101,0002", AFTER_CUT + OK, "the event after the cut section")

    def assertLines(self, answer):
        self.assertLessEqual(len(answer), ANSWER_MAX)
        self.assertTrue(answer.endswith(OK), answer[-40:])
        if answer == b"EITI OK\r\n":
            return []
        body = answer[:-len(OK)]
        lines = LINE.findall(body)
        self.assertEqual(b"".join(lines), body)
        return lines

    def test_long_non_plain_text_answers_in_hex(self):
        lines = self.assertLines(poll(lambda: (lambda a: a if a.count(b"EITI") == 2 else None)(
            self.ask("EITN0101,0001")), 30, "the 4 KB text's event and the next"))
        # The event playing now has no title and the whole text, mode 0x3f:
        # 15 segments of 255 bytes as hex.
        self.assertRegex(lines[0], rb"^EITI e79a 0800 0010 S0,00\[\]L3825,3f\[([0-9a-f]{2} ){3824}"
                                   rb"[0-9a-f]{2}\]\r\n$")
        self.assertTrue(lines[1].startswith(b"EITI e79a 0810 0010 S0,00[]L0,00[]"), lines[1])

    def test_long_lists_stay_in_the_buffer(self):
        # 255 ten-minute events: a day's list cannot fit.  The event playing
        # now has the whole 3,825-byte text as hex, past the list's budget on
        # its own: the list stops after it.
        lines = self.assertLines(self.ask("EITL0101,0001,2359"))
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith(b"EITI e79a 0800 0010 S0,00[]L3825,3f["), lines[0][:60])
        for when in ("0755", "0600", "0500", "1200"):
            self.assertLines(self.ask("EITI0101,0001,e79a," + when))
        # The title of random bits decodes to something, within 128 bytes.
        lines = self.assertLines(self.ask("EITI0101,0001,e79a,2302"))
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], rb"^EITI e79a 2300 0005 S(\d|[1-9]\d|1[01]\d|12[0-8]),00\[")
        self.assertEqual(self.ask("VERS"), VERSION_REPLY)


if __name__ == "__main__":
    main()
