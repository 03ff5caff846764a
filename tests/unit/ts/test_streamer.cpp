// Streamer: send threshold, datagram content, batching and flushing,
// overflow, destination changes, failed sends, the debug copy file and the
// program/PID lists.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ffmpeg_streams.h"
#include "statistics.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "udpcom.h"
#include "waits.h"

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

TEST_F(StreamerTest, ThresholdOf1316MakesEverySeventhPacketADatagramSentAtTheFlush) {
  Streamer s(65536, 1316);
  Aim(s);
  Statistics::Self()->Reset();
  for (int i = 0; i < 24; i++) {
    Bytes p = numbered_packet(i);
    ASSERT_EQ(0, s.Stream(p.data(), 188)) << "packet " << i;
    EXPECT_EQ((i + 1) / 7, s.PendingDatagrams()) << "packet " << i;
  }
  // Nothing leaves before the flush; then all three at once, in order.
  EXPECT_TRUE(capture.Drain().empty());
  EXPECT_EQ(3 * 1316, s.Flush());
  EXPECT_EQ(1u, s.mFlushCalls);
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(3u, got.size());
  for (int d = 0; d < 3; d++) EXPECT_EQ(numbered_packets(7 * d, 7), got[d]) << "datagram " << d;
  EXPECT_EQ(3u * 1316u, Statistics::Self()->mTotalOut);
  // The three packets of the open datagram stay and lead the next one.
  EXPECT_EQ(3 * 188, s.mDataCount);
  EXPECT_EQ(0, s.Flush());
  for (int i = 24; i < 28; i++) {
    Bytes p = numbered_packet(i);
    s.Stream(p.data(), 188);
  }
  EXPECT_EQ(1316, s.Flush());
  got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(numbered_packets(21, 7), got[0]);
  EXPECT_EQ(0, s.mDataCount);
  EXPECT_EQ(s.mpFilteredBuffer, s.mpCurrWritePtr);
}

TEST_F(StreamerTest, AFullBatchIsSentAtOnceAndTheOrderHolds) {
  Streamer s(65536, 1316);
  Aim(s);
  const int kDatagrams = Streamer::kMaxBatch * 2 + 5;
  int sentDuringStream = 0;
  for (int i = 0; i < kDatagrams * 7; i++) {
    Bytes p = numbered_packet(i);
    int sent = s.Stream(p.data(), 188);
    // The batch's 33rd datagram completes: the first 32 leave first.
    if (sent != 0) {
      EXPECT_EQ(Streamer::kMaxBatch * 1316, sent) << "packet " << i;
    }
    sentDuringStream += sent;
    ASSERT_LE(s.PendingDatagrams(), Streamer::kMaxBatch);
  }
  EXPECT_EQ(2 * Streamer::kMaxBatch * 1316, sentDuringStream);
  EXPECT_EQ(5 * 1316, s.Flush());
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(static_cast<size_t>(kDatagrams), got.size());
  for (int d = 0; d < kDatagrams; d++)
    ASSERT_EQ(numbered_packets(7 * d, 7), got[d]) << "datagram " << d;
}

TEST_F(StreamerTest, WithoutOffloadOrConnectionTheSameDatagramsLeave) {
  // One streamer per sending path: offload on a connected socket, one
  // sendmmsg on a connected socket, both naming the destination each time.
  for (int path = 0; path < 4; path++) {
    Streamer s(65536, 1316);
    Aim(s);
    ASSERT_TRUE(s.mpUdp->connected);
    s.mGso = (path & 1) == 0;
    if (path >= 2) s.mpUdp->connected = false;
    // Four whole datagrams and a last one that is shorter.
    for (int i = 0; i < 28; i++) {
      Bytes p = numbered_packet(i);
      s.Stream(p.data(), 188);
    }
    s.mPacketSize = 376;
    Bytes two = numbered_packets(40, 2);
    s.Stream(two.data(), 376);
    EXPECT_EQ(5, s.PendingDatagrams());
    EXPECT_EQ(4 * 1316 + 376, s.Flush()) << "path " << path;
    EXPECT_EQ(1u, s.mFlushCalls) << "path " << path;
    std::vector<Bytes> got = capture.Drain();
    ASSERT_EQ(5u, got.size()) << "path " << path;
    for (int d = 0; d < 4; d++) EXPECT_EQ(numbered_packets(7 * d, 7), got[d]) << "path " << path;
    EXPECT_EQ(two, got[4]) << "path " << path;
  }
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
  EXPECT_EQ(0, s.Flush());
  EXPECT_TRUE(capture.Drain().empty());
  EXPECT_EQ(0, s.Stream(p.data(), 188));
  EXPECT_EQ(174 * 188, s.Flush());
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
  s.Flush();
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(numbered_packets(20, 7), got[0]);
}

TEST_F(StreamerTest, ABufferFullOfCompletedDatagramsIsFlushedNotDiscarded) {
  Streamer s(3000, 1316);
  Aim(s);
  testing::internal::CaptureStderr();
  int sent = 0;
  for (int i = 0; i < 35; i++) {
    Bytes p = numbered_packet(i);
    sent += s.Stream(p.data(), 188);
  }
  sent += s.Flush();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string::npos, err.find("Too much data")) << err;
  EXPECT_EQ(5 * 1316, sent);
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(5u, got.size());
  for (int d = 0; d < 5; d++) EXPECT_EQ(numbered_packets(7 * d, 7), got[d]) << "datagram " << d;
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
  s.Stream(seven.data(), 1316);
  EXPECT_TRUE(s.mMulticastChanged);  // nothing sent yet
  EXPECT_EQ(1316, s.Flush());
  EXPECT_FALSE(s.mMulticastChanged);
  EXPECT_EQ(1u, capture.Drain().size());

  ASSERT_TRUE(s.StreamSet("127.0.0.1", other.Port()));
  EXPECT_TRUE(s.mMulticastChanged);
  EXPECT_EQ(other.Port(), s.StreamGetPort());
  s.Stream(seven.data(), 1316);
  EXPECT_EQ(1316, s.Flush());
  EXPECT_TRUE(capture.Drain().empty());
  EXPECT_EQ(1u, other.Drain().size());

  // An address that does not parse leaves the destination as it was.
  EXPECT_FALSE(s.StreamSet("999.1.1.1", capture.Port()));
  EXPECT_STREQ("127.0.0.1", s.StreamGetIp());
  EXPECT_EQ(other.Port(), s.StreamGetPort());
  s.Stream(seven.data(), 1316);
  EXPECT_EQ(1316, s.Flush());
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
  s.Stream(seven.data(), 1316);
  EXPECT_EQ(1316, s.Flush());
  EXPECT_EQ(1u, capture.Drain().size());
}

TEST_F(StreamerTest, OneLargeCallGoesOutInPiecesOfWholePackets) {
  Streamer s(65536, 1316);
  Aim(s);
  // 212 packets and the head of one more: the head waits for its rest.
  Bytes big = numbered_packets(0, 213);
  EXPECT_EQ(0, s.Stream(big.data(), 212 * 188 + 100));
  EXPECT_EQ(2, s.PendingDatagrams());
  EXPECT_EQ(212 * 188, s.Flush());
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(numbered_packets(0, 174), got[0]);  // 32712 bytes, the most under 32768
  EXPECT_EQ(numbered_packets(174, 38), got[1]);
  EXPECT_EQ(100, s.mDataCount);
}

TEST_F(StreamerTest, APacketLeavesOnlyWholeAndAHeadWithoutItsRestIsDropped) {
  Streamer s(65536, 1316);
  Aim(s);
  s.mPacketSize = 188;  // a datagram per packet
  Bytes p = numbered_packets(1, 3);
  // A rest without a head, and a head followed by another head: dropped.
  EXPECT_EQ(0, s.Stream(p.data() + 50, 138, false));
  EXPECT_EQ(0, s.mDataCount);
  s.Stream(p.data(), 120);
  EXPECT_EQ(0, s.PendingDatagrams());
  s.Stream(p.data() + 188, 100);
  EXPECT_EQ(100, s.mDataCount);
  // Its rest completes it; a rest that would grow it past 188 drops it.
  s.Stream(p.data() + 288, 88, false);
  EXPECT_EQ(1, s.PendingDatagrams());
  s.Stream(p.data() + 376, 150);
  s.Stream(p.data() + 376, 100, false);
  EXPECT_EQ(188, s.mDataCount);
  EXPECT_EQ(188, s.Flush());
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(numbered_packet(2), got[0]);
}

TEST_F(StreamerTest, FailedSendDropsTheDataReportsAndLaterSendsWork) {
  Streamer s(65536, 1316);
  // Broadcast without SO_BROADCAST: the kernel refuses every send.
  ASSERT_TRUE(s.StreamSet("255.255.255.255", capture.Port()));
  s.mActive = true;
  Bytes seven = numbered_packets(0, 7);
  EXPECT_FALSE(s.mpUdp->connected);  // the kernel refused the connection too
  testing::internal::CaptureStderr();
  s.Stream(seven.data(), 1316);
  EXPECT_EQ(0, s.Flush());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("Send")) << err;
  EXPECT_EQ(0, s.mDataCount);
  EXPECT_EQ(s.mpFilteredBuffer, s.mpCurrWritePtr);

  ASSERT_TRUE(s.StreamSet("127.0.0.1", capture.Port()));
  Bytes next = numbered_packets(50, 7);
  s.Stream(next.data(), 1316);
  EXPECT_EQ(1316, s.Flush());
  std::vector<Bytes> got = capture.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(next, got[0]);
}

// A loopback port that was free a moment ago (nobody listens on it).
unsigned short closed_port() {
  UdpCapture probe;
  return probe.Ok() ? static_cast<unsigned short>(probe.Port()) : 9;
}

TEST_F(StreamerTest, APortNobodyListensOnCostsNoBatch) {
  // Each datagram to such a port comes back as a port-unreachable report,
  // which the kernel hands to the next send on the connected socket: that
  // send is tried once more, and no batch is lost to an earlier one's report.
  const unsigned short port = closed_port();
  for (int offload = 0; offload < 2; offload++) {
    Streamer s(65536, 1316);
    ASSERT_TRUE(s.StreamSet("127.0.0.1", port));
    s.mActive = true;
    ASSERT_TRUE(s.mpUdp->connected);
    s.mGso = offload == 1;
    const int kRounds = 4;
    for (int round = 0; round < kRounds; round++) {
      Bytes two = numbered_packets(14 * round, 14);
      s.Stream(two.data(), static_cast<int>(two.size()));
      EXPECT_EQ(2 * 1316, s.Flush()) << "offload " << offload << " round " << round;
      vyx_sleep_exact(0.002);  // the report of this batch arrives
    }
    // Every round after the first met the report of the one before.
    EXPECT_EQ(static_cast<unsigned>(2 * kRounds - 1), s.mFlushCalls) << "offload " << offload;
  }
}

TEST_F(StreamerTest, DebugCopyFileTakesTheDataInsteadOfTheNetwork) {
  Streamer s(65536, 1316);
  Aim(s);
  FILE* copy = tmpfile();
  ASSERT_NE(nullptr, copy);
  dbg_file_out = copy;
  Bytes seven = numbered_packets(3, 7);
  s.Stream(seven.data(), 1316);
  int sent = s.Flush();
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
