// The bounded cursors and the packet header accessors.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ts/crc32.h"
#include "ts/sectionreader.h"
#include "ts/tspacket.h"

TEST(SectionReader, FieldsAndBitFieldsReadBigEndian) {
  const unsigned char b[] = {0x02, 0xB0, 0x1D, 0xE1, 0x00, 0x12, 0x34, 0x56, 0x89, 0xAB, 0xCD, 0xEF};
  SectionReader r(b, sizeof(b));
  EXPECT_EQ(0x02, r.U8());
  EXPECT_EQ(0x01D, r.Len12());
  EXPECT_EQ(0x0100, r.PID13());
  EXPECT_EQ(0x123456u, r.U24());
  EXPECT_EQ(0x89ABCDEFu, r.U32());
  EXPECT_EQ(0, r.Remaining());
  EXPECT_TRUE(r.Ok());
  SectionReader again(b, sizeof(b));
  EXPECT_EQ(0x02B0, again.U16());
  EXPECT_EQ(0x1D, again.Peek(0));
  EXPECT_EQ(0xE1, again.Peek(1));
  EXPECT_EQ(2, again.Pos());  // Peek does not move
  const unsigned char* p = again.Bytes(3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0x1D, p[0]);
  EXPECT_EQ(5, again.Pos());
  EXPECT_TRUE(again.Ok());
}

TEST(SectionReader, EveryReadPastTheEndGivesZeroAndMarksBad) {
  const unsigned char b[] = {0xFF, 0xFF, 0xFF};
  // Each kind of read, started one byte short of what it needs.
  {
    SectionReader r(b, 1);
    EXPECT_EQ(0, r.U16());
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(0, r.Remaining());
  }
  {
    SectionReader r(b, 2);
    EXPECT_EQ(0u, r.U24());
    EXPECT_FALSE(r.Ok());
  }
  {
    SectionReader r(b, 3);
    EXPECT_EQ(0u, r.U32());
    EXPECT_FALSE(r.Ok());
  }
  {
    SectionReader r(b, 3);
    EXPECT_EQ(nullptr, r.Bytes(4));
    EXPECT_FALSE(r.Ok());
  }
  {
    SectionReader r(b, 3);
    EXPECT_EQ(0, r.Peek(3));
    EXPECT_FALSE(r.Ok());
  }
  {
    SectionReader r(b, 3);
    EXPECT_EQ(0, r.Peek(-1));
    EXPECT_FALSE(r.Ok());
  }
  {
    SectionReader r(b, 3);
    EXPECT_FALSE(r.Skip(4));
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(0, r.U8());  // and nothing after it is read
  }
  {
    SectionReader r(b, 3);
    EXPECT_FALSE(r.Skip(-1));
    EXPECT_FALSE(r.Ok());
  }
  {
    SectionReader r(nullptr, 10);
    EXPECT_EQ(0, r.Length());
    EXPECT_EQ(0, r.U8());
    EXPECT_FALSE(r.Ok());
  }
  // Exactly what exists is fine.
  SectionReader r(b, 3);
  EXPECT_TRUE(r.Skip(3));
  EXPECT_TRUE(r.Ok());
}

TEST(SectionReader, SubCursorBoundsALoopAndACutOneKeepsWhatExists) {
  // A loop of 4 bytes and one byte after it.
  const unsigned char b[] = {0x00, 0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0x77};
  SectionReader r(b, sizeof(b));
  SectionReader loop = r.Sub(r.Len12());
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(4, loop.Length());
  EXPECT_EQ(0xA1A2, loop.U16());
  EXPECT_EQ(0xA3A4, loop.U16());
  EXPECT_EQ(0, loop.U8());  // the loop ends at its length, not the buffer's
  EXPECT_FALSE(loop.Ok());
  EXPECT_EQ(0x77, r.U8());  // the parent went past the loop
  EXPECT_TRUE(r.Ok());

  // A length that claims more than exists: both are bad, the sub-cursor
  // holds what there is.
  const unsigned char c[] = {0x00, 0x09, 0xB1, 0xB2, 0xB3};
  SectionReader s(c, sizeof(c));
  SectionReader cut = s.Sub(s.Len12());
  EXPECT_FALSE(s.Ok());
  EXPECT_FALSE(cut.Ok());
  EXPECT_EQ(3, cut.Length());
  EXPECT_EQ(0xB1, cut.Peek(0));
  EXPECT_EQ(0, s.Remaining());
}

TEST(SectionWriter, WritesFieldsEndsWithACrcThatChecksAndStopsAtCapacity) {
  unsigned char buf[12];
  SectionWriter w(buf, sizeof(buf));
  EXPECT_TRUE(w.U8(0x00));
  EXPECT_TRUE(w.U16(0xB00D));
  unsigned char body[] = {0x12, 0x34};
  EXPECT_TRUE(w.Bytes(body, 2));
  EXPECT_TRUE(w.Fill(0xFF, 2));
  EXPECT_TRUE(w.Crc32());
  EXPECT_EQ(11, w.Pos());
  EXPECT_EQ(0u, crc32(buf, 11));  // a whole section checks to 0
  SectionReader r(buf, 11);
  EXPECT_EQ(0x00, r.U8());
  EXPECT_EQ(0x00D, r.Len12());
  EXPECT_EQ(0x1234, r.U16());
  EXPECT_EQ(0xFFFF, r.U16());

  buf[11] = 0x5A;
  EXPECT_FALSE(w.U16(0xAAAA));  // one byte left
  EXPECT_FALSE(w.Ok());
  EXPECT_EQ(0x5A, buf[11]);
  EXPECT_FALSE(w.U8(0x01));  // bad stays bad
  EXPECT_FALSE(w.Crc32());
  EXPECT_EQ(0x5A, buf[11]);

  SectionWriter none(buf, 3);
  EXPECT_FALSE(none.U32(1));
  EXPECT_FALSE(none.Bytes(body, -1));
}

TEST(TsPacket, HeaderFields) {
  std::vector<unsigned char> p(kTsPacketLen, 0xFF);
  p[0] = kTsSyncByte;
  p[1] = 0x5F;  // error 0, unit start, priority 1, PID high 0x1F
  p[2] = 0xFB;
  p[3] = 0x7A;  // scrambling 01, adaptation + payload, continuity 10
  p[4] = 7;
  EXPECT_EQ(0x1FFBu, PacketPid(p.data()));
  EXPECT_TRUE(PacketUnitStart(p.data()));
  EXPECT_EQ(10, PacketContinuity(p.data()));
  EXPECT_TRUE(PacketScrambled(p.data()));
  EXPECT_EQ(3u, PacketAdaptationControl(p.data()));
  EXPECT_EQ(12u, PacketPayloadOffset(p.data()));

  p[1] = 0x00;
  p[2] = 0x21;
  p[3] = 0x15;  // clear, payload only, continuity 5
  EXPECT_EQ(0x21u, PacketPid(p.data()));
  EXPECT_FALSE(PacketUnitStart(p.data()));
  EXPECT_FALSE(PacketScrambled(p.data()));
  EXPECT_EQ(1u, PacketAdaptationControl(p.data()));
  EXPECT_EQ(4u, PacketPayloadOffset(p.data()));

  p[3] = 0x20;  // adaptation field only
  EXPECT_EQ(2u, PacketAdaptationControl(p.data()));
  EXPECT_EQ(0u, PacketPayloadOffset(p.data()));
}
