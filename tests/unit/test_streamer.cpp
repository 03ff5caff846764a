// Streamer: send threshold, datagram content, overflow, destination changes,
// failed sends, the debug copy file and the program/PID lists.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ffmpeg_streams.h"
#include "statistics.h"
#include "streamer.h"
#include "tsfilter.h"

using ffstreams::Bytes;
using ffstreams::UdpCapture;

namespace {

// Packet n: sync byte, then the byte n everywhere, so datagrams can be
// checked packet by packet.
Bytes numbered_packet(int n) {
  Bytes p(188, static_cast<uint8_t>(n));
  p[0] = 0x47;
  return p;
}

Bytes numbered_packets(int first, int count) {
  Bytes out;
  for (int i = 0; i < count; i++) {
    Bytes p = numbered_packet(first + i);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

struct Fixture : ::testing::Test {
  UdpCapture capture;
  void SetUp() override { ASSERT_TRUE(capture.Ok()); }
  void Aim(Streamer& s) {
    ASSERT_TRUE(s.StreamSet("127.0.0.1", capture.Port()));
    s.mActive = true;
  }
};

using StreamerTest = Fixture;

TEST_F(StreamerTest, ThresholdOf1316SendsEverySeventhPacketAsOneDatagram) {
  Streamer s(65536, 1316);
  Aim(s);
  Statistics::Self()->Reset();
  for (int i = 0; i < 21; i++) {
    Bytes p = numbered_packet(i);
    int sent = s.Stream(p.data(), 188);
    EXPECT_EQ((i % 7 == 6) ? 1316 : 0, sent) << "packet " << i;
  }
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(3u, got.size());
  for (int d = 0; d < 3; d++) EXPECT_EQ(numbered_packets(7 * d, 7), got[d]) << "datagram " << d;
  EXPECT_EQ(3u * 1316u, Statistics::Self()->mTotalOut);
  EXPECT_EQ(0, s.mDataCount);
}

TEST_F(StreamerTest, PacketSizeOutsideRangeBecomes32580) {
  EXPECT_EQ(32580, Streamer(65536, 1000).mPacketSize);
  EXPECT_EQ(32580, Streamer(65536, 32713).mPacketSize);
  EXPECT_EQ(1316, Streamer(65536, 1316).mPacketSize);
  EXPECT_EQ(32712, Streamer(65536, 32712).mPacketSize);

  Streamer s(65536, 1000);
  Aim(s);
  Bytes p = numbered_packet(1);
  // 173 packets are 32524 bytes, below the threshold; the 174th crosses it.
  for (int i = 0; i < 173; i++) ASSERT_EQ(0, s.Stream(p.data(), 188));
  EXPECT_TRUE(capture.Drain().empty());
  EXPECT_EQ(174 * 188, s.Stream(p.data(), 188));
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(32712u, got[0].size());
}

TEST_F(StreamerTest, OverflowDiscardsWhatIsQueuedAndStreamingGoesOn) {
  Streamer s(2000, 1316);
  Aim(s);
  s.mPacketSize = 5000;  // more than the buffer holds
  for (int i = 0; i < 10; i++) {
    Bytes p = numbered_packet(i);
    ASSERT_EQ(0, s.Stream(p.data(), 188));
  }
  EXPECT_EQ(1880, s.mDataCount);
  testing::internal::CaptureStderr();
  Bytes p = numbered_packet(10);
  EXPECT_EQ(0, s.Stream(p.data(), 188));  // 2068 > 2000
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("Too much data called from Stream: 0 > 2000")) << err;
  EXPECT_EQ(0, s.mDataCount);
  EXPECT_EQ(s.mpFilteredBuffer, s.mpCurrWritePtr);

  // Nothing of the discarded data comes out later.
  s.mPacketSize = 1316;
  for (int i = 20; i < 27; i++) {
    Bytes q = numbered_packet(i);
    s.Stream(q.data(), 188);
  }
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(numbered_packets(20, 7), got[0]);
}

TEST_F(StreamerTest, InactiveOrWithoutSenderItTakesNothing) {
  Streamer s(65536, 1316);
  Bytes p = numbered_packet(1);
  EXPECT_EQ(0, s.Stream(p.data(), 188));  // not active
  EXPECT_EQ(0, s.mDataCount);
  s.mActive = true;
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, s.Stream(p.data(), 188));  // no destination yet
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("no udp")) << err;
  EXPECT_EQ(0, s.mDataCount);
}

TEST_F(StreamerTest, NewDestinationTakesTheNextDatagram) {
  UdpCapture other;
  ASSERT_TRUE(other.Ok());
  Streamer s(65536, 1316);
  Aim(s);
  EXPECT_TRUE(s.mMulticastChanged);
  Bytes seven = numbered_packets(0, 7);
  EXPECT_EQ(1316, s.Stream(seven.data(), 1316));
  EXPECT_FALSE(s.mMulticastChanged);
  EXPECT_EQ(1u, capture.Drain().size());

  ASSERT_TRUE(s.StreamSet("127.0.0.1", other.Port()));
  EXPECT_TRUE(s.mMulticastChanged);
  EXPECT_EQ(other.Port(), s.StreamGetPort());
  EXPECT_EQ(1316, s.Stream(seven.data(), 1316));
  EXPECT_TRUE(capture.Drain().empty());
  EXPECT_EQ(1u, other.Drain().size());

  // An address that does not parse leaves the destination as it was.
  EXPECT_FALSE(s.StreamSet("999.1.1.1", capture.Port()));
  EXPECT_STREQ("127.0.0.1", s.StreamGetIp());
  EXPECT_EQ(other.Port(), s.StreamGetPort());
  EXPECT_EQ(1316, s.Stream(seven.data(), 1316));
  EXPECT_EQ(1u, other.Drain().size());
  EXPECT_TRUE(capture.Drain().empty());
}

TEST_F(StreamerTest, AddressIsCutToFifteenCharactersAndTerminated) {
  Streamer s(65536, 1316);
  memset(s.mMulticastIp, 'x', sizeof(s.mMulticastIp));
  EXPECT_TRUE(s.StreamSet("127.000.000.001999999", capture.Port()));
  EXPECT_STREQ("127.000.000.001", s.mMulticastIp);
  s.mActive = true;
  Bytes seven = numbered_packets(0, 7);
  EXPECT_EQ(1316, s.Stream(seven.data(), 1316));
  EXPECT_EQ(1u, capture.Drain().size());
}

TEST_F(StreamerTest, OneLargeCallGoesOutInPiecesOf32768) {
  Streamer s(65536, 1316);
  Aim(s);
  Bytes big(40000);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(40000, s.Stream(big.data(), 40000));
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 32768), got[0]);
  EXPECT_EQ(Bytes(big.begin() + 32768, big.end()), got[1]);
}

TEST_F(StreamerTest, FailedSendDropsTheDataReportsAndLaterSendsWork) {
  Streamer s(65536, 1316);
  // Broadcast without SO_BROADCAST: the kernel refuses every send.
  ASSERT_TRUE(s.StreamSet("255.255.255.255", capture.Port()));
  s.mActive = true;
  Bytes seven = numbered_packets(0, 7);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, s.Stream(seven.data(), 1316));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("Send")) << err;
  EXPECT_EQ(0, s.mDataCount);
  EXPECT_EQ(s.mpFilteredBuffer, s.mpCurrWritePtr);

  ASSERT_TRUE(s.StreamSet("127.0.0.1", capture.Port()));
  Bytes next = numbered_packets(50, 7);
  EXPECT_EQ(1316, s.Stream(next.data(), 1316));
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(next, got[0]);
}

TEST_F(StreamerTest, DebugCopyFileTakesTheDataInsteadOfTheNetwork) {
  Streamer s(65536, 1316);
  Aim(s);
  FILE* copy = tmpfile();
  ASSERT_NE(nullptr, copy);
  dbg_file_out = copy;
  Bytes seven = numbered_packets(3, 7);
  int sent = s.Stream(seven.data(), 1316);
  dbg_file_out = nullptr;
  EXPECT_EQ(1316, sent);
  EXPECT_TRUE(capture.Drain().empty());
  rewind(copy);
  Bytes written(2000);
  written.resize(fread(written.data(), 1, written.size(), copy));
  fclose(copy);
  EXPECT_EQ(seven, written);
}

TEST(StreamerLists, ProgramsOnceInOrderPidsAlwaysProgramZeroIgnored) {
  Streamer s(65536, 1316);
  s.AddProgramToList(3, 0x81);
  s.AddProgramToList(3, 0x200);
  s.AddProgramToList(0, 0x10);
  s.AddProgramToList(2, 0x90);
  ASSERT_EQ(2, s.GetProgramCount());
  EXPECT_EQ(3, s.GetProgram(0));
  EXPECT_EQ(2, s.GetProgram(1));
  ASSERT_EQ(3, s.GetPidCount());
  EXPECT_EQ(0x81, s.GetPid(0));
  EXPECT_EQ(0x200, s.GetPid(1));
  EXPECT_EQ(0x90, s.GetPid(2));
}

TEST(StreamerLists, ListsStopAtTheirCapacity) {
  Streamer s(65536, 1316);
  for (int i = 0; i < Streamer::kMaxListEntries + 10; i++)
    s.AddProgramToList(static_cast<unsigned short>(i + 1), static_cast<unsigned short>(i & 0x1FFF));
  EXPECT_EQ(Streamer::kMaxListEntries, s.GetProgramCount());
  EXPECT_EQ(Streamer::kMaxListEntries, s.GetPidCount());
  EXPECT_EQ(Streamer::kMaxListEntries, s.GetProgram(Streamer::kMaxListEntries - 1));
}

}  // namespace
