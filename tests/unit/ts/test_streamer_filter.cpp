// The filter's stream operations on a prepared PID map: starting a stream
// and attaching programs, PSI and unidentified PIDs, re-addressing, removing
// and stopping, the language filter and the dumps.  (The stream text and the
// tuning are the UNIT handler's: tests/unit/commands.)

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ffmpeg_streams.h"
#include "tsfixture.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "utils.h"
#include "waits.h"

using ffstreams::Bytes;
using ffstreams::UdpCapture;

namespace {

const bool time_scaled = (setenv("VYX_TIME_SCALE", "1000", 1), true);

const unsigned short kPsiPids[] = {0x0000, 0x0001, 0x0010, 0x0011, 0x0012,
                                   0x0013, 0x0014, 0x1FFB};

struct StreamOps : ::testing::Test {
  UdpCapture capture;
  TsFilter tsf{'T', nullptr};
  char ip[16] = "127.0.0.1";

  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    ASSERT_TRUE(capture.Ok());
  }
  void TearDown() override {
    for (int i = 0; i < TsFilter::kMaxStreams; i++) tsf.RemoveStream(i);
  }
  // What the PAT and PMT analysers leave for a program.
  void Es(uint16_t pid, uint16_t tsid, uint16_t program, uint32_t count, int8_t type = 1) {
    PacketIdMapType& e = tsf.mPacketIdMap[pid];
    e.transportId = tsid;
    e.programId = program;
    e.count = count;
    e.type = type;
    e.status = 1;
  }
  void ThreePrograms() {
    Es(0x80, 0x21, 1, 5, ePidTypePmt);
    Es(0x100, 0x21, 1, 50);
    Es(0x81, 0x21, 2, 5, ePidTypePmt);
    Es(0x200, 0x21, 2, 50);
    Es(0x201, 0x21, 2, 50);
    Es(0x82, 0x21, 3, 5, ePidTypePmt);
    Es(0x300, 0x21, 3, 50);
  }
  bool Attached(uint16_t pid, int streamId) {
    StreamerList* list = tsf.mPacketIdMap[pid].streamers;
    if (list == nullptr) return false;
    for (int i = 0; i < list->Size(); i++)
      if (list->At(i)->mId == streamId) return true;
    return false;
  }
  std::vector<int> AttachedPids(int streamId) {
    std::vector<int> pids;
    for (int pid = 0; pid < TsFilter::kPidCount; pid++)
      if (Attached(static_cast<uint16_t>(pid), streamId)) pids.push_back(pid);
    return pids;
  }
  // Packets through the packet loop in one buffer, a null packet after them
  // so that the last is analysed too.
  void Feed(Bytes ts) {
    tsfix::Append(ts, tsfix::MakeDataPacket(0x1FFF, 0));
    ASSERT_TRUE(tsf.Filter(ts.data(), static_cast<int>(ts.size())));
  }
  // The packets the stream sent since the last call, by PID.
  std::vector<Bytes> Sent(uint16_t pid) {
    std::vector<Bytes> out;
    for (const std::vector<uint8_t>& d : capture.Drain())
      for (size_t off = 0; off + 188 <= d.size(); off += 188)
        if ((((d[off + 1] & 0x1F) << 8) | d[off + 2]) == pid) out.emplace_back(d.begin() + off, d.begin() + off + 188);
    return out;
  }
  // What the UNIT handler asks of the filter once the tuner is there: the
  // stream, its programs (every one when no pair is given), the private PATs
  // rebuilt from the next PAT.
  bool Start(int id, const std::vector<std::pair<uint16_t, uint16_t>>& pairs) {
    tsf.PrepareStreamStart(true);
    tsf.FilterActive(true);
    if (!tsf.AddStream(id, ip, static_cast<unsigned short>(capture.Port()))) return false;
    for (const auto& p : pairs) tsf.AddProgramToStream(id, p.first, p.second);
    if (pairs.empty()) tsf.AddAllProgramsToStream(id);
    tsf.RebuildPrivatePats();
    return true;
  }
};

TEST_F(StreamOps, OnePairStreamsThatProgramPsiAndUnidentifiedPids) {
  ThreePrograms();
  tsf.mPacketIdMap[0x1FFB].count = 9;  // PSIP base PID
  tsf.mPacketIdMap[0x1D00].count = 4;  // a PSIP table PID named by the MGT
  tsf.mPacketIdMap[0x1D00].type = ePidTypeEit;
  tsf.mPacketIdMap[0x0777].count = 4;  // seen, tied to nothing
  tsf.mPacketIdMap[0x0778].count = 1;  // seen once: not yet
  ASSERT_TRUE(Start(0, {{0x21, 2}}));
  Streamer* s = tsf.mStreamersList[0];
  ASSERT_NE(nullptr, s);
  EXPECT_TRUE(s->mActive);
  EXPECT_EQ(-1, tsf.mPatVersion);
  EXPECT_TRUE(tsf.mRunFilter);

  std::vector<int> want = {0x0000, 0x0001, 0x0010, 0x0011, 0x0012, 0x0013, 0x0014,
                           0x0081, 0x0200, 0x0201, 0x0777, 0x1D00, 0x1FFB};
  EXPECT_EQ(want, AttachedPids(0));
  ASSERT_EQ(1, s->GetProgramCount());
  EXPECT_EQ(2, s->GetProgram(0));
  EXPECT_EQ(3, s->GetPidCount());  // PMT and two elementary PIDs
  for (unsigned short pid : kPsiPids) EXPECT_EQ(0, tsf.mPacketIdMap[pid].status) << pid;
  // An unidentified PID of unknown kind is no longer analysed; a table PID is.
  EXPECT_EQ(1, tsf.mPacketIdMap[0x0777].status);
  EXPECT_EQ(0, tsf.mPacketIdMap[0x1D00].status);
  EXPECT_TRUE(tsf.mPacketIdMap[0].block);  // the received PAT is never forwarded
}

TEST_F(StreamOps, NoPairStreamsEveryPidSeenThreeTimesThatIsNotIgnored) {
  ThreePrograms();
  tsf.mPacketIdMap[0x1E00].count = 7;
  tsf.mPacketIdMap[0x1E00].status = 2;  // a table kind the system ignores
  tsf.mPacketIdMap[0x1E00].transportId = 1;
  Es(0x400, 0x21, 4, 2);                // seen only twice
  tsf.mPacketIdMap[0x1FFF].count = 100; // null packets
  ASSERT_TRUE(Start(1, {}));
  std::vector<int> want = {0x0000, 0x0001, 0x0010, 0x0011, 0x0012, 0x0013, 0x0014, 0x0080,
                           0x0081, 0x0082, 0x0100, 0x0200, 0x0201, 0x0300, 0x1FFB};
  EXPECT_EQ(want, AttachedPids(1));
  Streamer* s = tsf.mStreamersList[1];
  ASSERT_EQ(3, s->GetProgramCount());
  EXPECT_EQ(7, s->GetPidCount());
}

TEST_F(StreamOps, StreamNumbersOutsideZeroToSevenAreRefused) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tsf.RemoveStream(8));
  EXPECT_FALSE(tsf.RemoveStream(-1));
  EXPECT_FALSE(tsf.AddStream(8, ip, capture.Port()));
  EXPECT_FALSE(tsf.AddProgramToStream(8, 0x21, 2));
  EXPECT_FALSE(tsf.AddAllProgramsToStream(-3));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("RemoveStream: streamId out of range: 8")) << err;
  EXPECT_NE(std::string::npos, err.find("RemoveStream: streamId out of range: -1")) << err;
  // A program for a stream that does not exist, and program 0, attach nothing.
  ThreePrograms();
  EXPECT_FALSE(tsf.AddProgramToStream(2, 0x21, 2));
  ASSERT_TRUE(tsf.AddStream(2, ip, capture.Port()));
  tsf.mPacketIdMap[0x0500].count = 0;  // a PID never seen, tied to nothing
  EXPECT_FALSE(tsf.AddProgramToStream(2, 0, 0));
  EXPECT_FALSE(Attached(0x0500, 2));
}

TEST_F(StreamOps, AddStreamTwiceReAddressesTheSameStream) {
  UdpCapture other;
  ASSERT_TRUE(other.Ok());
  ASSERT_TRUE(tsf.AddStream(4, ip, capture.Port()));
  Streamer* s = tsf.mStreamersList[4];
  ASSERT_TRUE(tsf.AddStream(4, ip, other.Port()));
  EXPECT_EQ(s, tsf.mStreamersList[4]);
  EXPECT_EQ(other.Port(), s->StreamGetPort());
  EXPECT_TRUE(s->mMulticastChanged);
  // Still listed once on each PSI PID.
  EXPECT_EQ(1, tsf.mPacketIdMap[0x11].streamers->Size());
  Bytes packets(1316, 0x47);
  s->Stream(packets.data(), 1316);
  EXPECT_EQ(1316, s->Flush());
  EXPECT_TRUE(capture.Drain().empty());
  EXPECT_EQ(1u, other.Drain().size());
  // A bad address keeps the stream where it was.
  char bad[] = "no.such.host";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tsf.AddStream(4, bad, capture.Port()));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(other.Port(), s->StreamGetPort());
}

TEST_F(StreamOps, UnidentifiedAttachmentsStopAfter256) {
  for (int i = 0; i < 300; i++) tsf.mPacketIdMap[0x1000 + i].count = 2;
  ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
  EXPECT_EQ(257, tsf.mUnindentifiedStreamers);
  EXPECT_TRUE(Attached(0x1000 + 255, 0));
  EXPECT_FALSE(Attached(0x1000 + 256, 0));
}

TEST_F(StreamOps, ListsBeyondThePoolAreMadeOnTheCommandThreadOnlyAndAllReturn) {
  // More PIDs seen three times than the pool has lists: a stream of every
  // program still gets them all, the lists past the pool made for it.
  const int kPids = TsFilter::kListPool + 76;
  for (int i = 0; i < kPids; i++) tsf.mPacketIdMap[0x400 + i].count = 3;
  const int saved = global_debug_flag;
  global_debug_flag = 0;  // a line per PID attached
  const bool started = Start(0, {});
  global_debug_flag = saved;
  ASSERT_TRUE(started);
  EXPECT_TRUE(Attached(0x400, 0));
  EXPECT_TRUE(Attached(static_cast<uint16_t>(0x400 + kPids - 1), 0));
  EXPECT_EQ(0, tsf.mFreeListCount);
  // The packet path makes none: a PAT naming a new program leaves its PMT
  // PID without a list, counted.
  tsfix::PsiPacketizer pat(0);
  Feed(tsfix::Join(pat.Packetize(tsfix::MakePat(0x21, 3, {{9, 0x1F00}}))));
  EXPECT_EQ(ePidTypePmt, tsf.mPacketIdMap[0x1F00].type);
  EXPECT_EQ(nullptr, tsf.mPacketIdMap[0x1F00].streamers);
  EXPECT_EQ(1u, tsf.mListPoolEmpty);
  // Stopped: the pool's lists all back, the others freed (ASan: no leak, no
  // double free).
  tsf.StopMulticast(-1, true);
  EXPECT_EQ(TsFilter::kListPool, tsf.mFreeListCount);
}

TEST_F(StreamOps, RemovingOneStreamKeepsTheOthersAttached) {
  ThreePrograms();
  ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
  ASSERT_TRUE(tsf.AddStream(1, ip, capture.Port()));
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 1));
  ASSERT_TRUE(tsf.AddProgramToStream(1, 0x21, 2));
  ASSERT_TRUE(tsf.RemoveStream(0));
  EXPECT_EQ(nullptr, tsf.mStreamersList[0]);
  // Lists left empty are gone; shared ones keep the other stream.
  EXPECT_EQ(nullptr, tsf.mPacketIdMap[0x100].streamers);
  EXPECT_EQ(nullptr, tsf.mPacketIdMap[0x80].streamers);
  ASSERT_NE(nullptr, tsf.mPacketIdMap[0x11].streamers);
  EXPECT_EQ(1, tsf.mPacketIdMap[0x11].streamers->Size());
  EXPECT_TRUE(Attached(0x200, 1));
  EXPECT_TRUE(tsf.RemoveStream(0));  // an empty slot is not an error
}

TEST_F(StreamOps, StopAllLeavesTheFilterOffAndTheMapClean) {
  ThreePrograms();
  ASSERT_TRUE(Start(0, {{0x21, 2}}));
  ASSERT_TRUE(tsf.AddStream(5, ip, capture.Port()));
  tsf.FilterActive(true);
  ASSERT_TRUE(tsf.StopMulticast(-1, true));
  EXPECT_FALSE(tsf.mRunFilter);
  for (int i = 0; i < TsFilter::kMaxStreams; i++) EXPECT_EQ(nullptr, tsf.mStreamersList[i]);
  for (int pid = 1; pid < TsFilter::kPidCount; pid++) {
    const PacketIdMapType& e = tsf.mPacketIdMap[pid];
    ASSERT_TRUE(e.streamers == nullptr && e.count == 0 && e.programId == 0 && e.type == 0)
        << pid;
  }
  EXPECT_EQ(ePidTypePat, tsf.mPacketIdMap[0].type);
  EXPECT_TRUE(tsf.mPacketIdMap[0].block);
  EXPECT_EQ(nullptr, tsf.mPacketIdMap[0].streamers);
}

TEST_F(StreamOps, StopOneWhileAnotherRunsReEnablesTheFilter) {
  ThreePrograms();
  ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
  ASSERT_TRUE(tsf.AddStream(1, ip, capture.Port()));
  ASSERT_TRUE(tsf.AddProgramToStream(1, 0x21, 2));
  ASSERT_TRUE(tsf.StopMulticast(0, true));
  EXPECT_TRUE(tsf.mRunFilter);
  EXPECT_EQ(nullptr, tsf.mStreamersList[0]);
  EXPECT_TRUE(Attached(0x200, 1));
  EXPECT_EQ(0x21, tsf.mPacketIdMap[0x200].transportId);  // map kept
}

// The player's thread feeds program 2 without a break while another stream
// of the same program is started and stopped again and again: the stream
// that stays gets every packet, in order, and no buffer is refused.
TEST_F(StreamOps, StoppingOneStreamCostsTheOtherNothing) {
  ThreePrograms();
  UdpCapture other;
  ASSERT_TRUE(other.Ok());
  ASSERT_TRUE(tsf.AddStream(1, ip, capture.Port()));
  ASSERT_TRUE(tsf.AddProgramToStream(1, 0x21, 2));
  tsf.FilterActive(true);
  std::atomic<bool> done{false}, stopping{false};
  std::atomic<unsigned> fed{0}, fedWhileStopping{0}, refused{0};
  std::atomic<size_t> collected{0};
  // The capture's socket must keep up, or the kernel drops what the filter
  // sent (a slow machine or an emulator reads slower than the filter sends):
  // the player stays at most this many datagrams ahead of the reader.
  const size_t kAhead = 32;
  std::thread player([&] {
    // Seven packets a buffer: one whole datagram each.
    uint32_t seq = 0;
    while (!done.load()) {
      if (fed.load() - refused.load() - collected.load() / 7 >= kAhead) {
        vyx_sleep_exact(0.0001);
        continue;
      }
      Bytes buf;
      for (int i = 0; i < 7; i++, seq++) {
        Bytes p = tsfix::MakeDataPacket(0x200, static_cast<uint8_t>(seq & 15));
        memcpy(&p[4], &seq, sizeof(seq));
        tsfix::Append(buf, p);
      }
      bool was = stopping.load();
      if (!tsf.Filter(buf.data(), static_cast<int>(buf.size()))) refused++;
      if (was || stopping.load()) fedWhileStopping++;
      fed++;
    }
  });
  std::vector<Bytes> got;
  auto collect = [&] {
    for (Bytes& p : Sent(0x200)) got.push_back(p);
    collected = got.size();
  };
  // Until buffers went through during a few of the stops (a stop is short).
  for (int round = 0; round < 3000 && (round < 30 || fedWhileStopping.load() < 5); round++) {
    ASSERT_TRUE(tsf.AddStream(0, ip, other.Port()));
    ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 2));
    unsigned before = fed.load();
    while (fed.load() < before + 3) {
      collect();
      vyx_sleep_exact(0.0002);
    }
    stopping = true;
    ASSERT_TRUE(tsf.StopMulticast(0, true));
    stopping = false;
    collect();
    other.Drain();
  }
  done = true;
  player.join();
  collect();
  EXPECT_EQ(0u, refused.load());
  // The stops did overlap the feed (else this test proves nothing).
  EXPECT_GT(fedWhileStopping.load(), 0u);
  ASSERT_EQ(static_cast<size_t>(fed.load()) * 7, got.size());
  for (size_t i = 0; i < got.size(); i++) {
    uint32_t seq;
    memcpy(&seq, &got[i][4], sizeof(seq));
    ASSERT_EQ(i, seq) << "packet " << i;
  }
  EXPECT_TRUE(tsf.mRunFilter);
}

// With a send hold, datagrams completed in one buffer wait for those of the
// next ones and leave together, in order, in one system call: when a buffer
// ends after the hold, when nothing arrives, and when the stream stops.
TEST_F(StreamOps, SendHoldSendsSeveralBuffersDatagramsInOneCall) {
  ThreePrograms();
  ASSERT_TRUE(tsf.AddStream(1, ip, capture.Port()));
  ASSERT_TRUE(tsf.AddProgramToStream(1, 0x21, 2));
  tsf.FilterActive(true);
  Streamer* s = tsf.mStreamersList[1];
  uint32_t seq = 0;
  auto buffer = [&] {  // one whole datagram of PID 0x200
    Bytes buf;
    for (int i = 0; i < 7; i++, seq++) {
      Bytes p = tsfix::MakeDataPacket(0x200, static_cast<uint8_t>(seq & 15));
      memcpy(&p[4], &seq, sizeof(seq));
      tsfix::Append(buf, p);
    }
    ASSERT_TRUE(tsf.Filter(buf.data(), static_cast<int>(buf.size())));
  };
  auto inOrder = [&](size_t count) {
    std::vector<Bytes> got = Sent(0x200);
    ASSERT_EQ(count, got.size());
    for (size_t i = 1; i < got.size(); i++) {
      uint32_t a, b;
      memcpy(&a, &got[i - 1][4], sizeof(a));
      memcpy(&b, &got[i][4], sizeof(b));
      EXPECT_EQ(a + 1, b);
    }
  };

  // A hold of a second: three buffers in a row all wait.
  tsf.SetSendHold(1.0);
  unsigned calls = s->mFlushCalls;
  for (int i = 0; i < 3; i++) buffer();
  EXPECT_TRUE(capture.Empty());
  EXPECT_EQ(3, s->PendingDatagrams());
  ASSERT_TRUE(tsf.Filter(nullptr, 0));  // nothing arrived: they leave
  EXPECT_EQ(calls + 1, s->mFlushCalls);
  inOrder(21);

  // A full batch leaves at once, whatever the hold.
  for (int i = 0; i <= Streamer::kMaxBatch; i++) buffer();
  EXPECT_EQ(1, s->PendingDatagrams());
  inOrder(7u * Streamer::kMaxBatch);
  ASSERT_TRUE(tsf.Filter(nullptr, 0));
  inOrder(7);

  // A short hold: the end of the first buffer after it sends.
  tsf.SetSendHold(0.02);
  buffer();
  vyx_sleep_exact(0.03);
  calls = s->mFlushCalls;
  buffer();
  EXPECT_EQ(calls + 1, s->mFlushCalls);
  inOrder(14);

  // Stopping the stream sends what waits.
  tsf.SetSendHold(1.0);
  buffer();
  ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
  ASSERT_TRUE(tsf.StopMulticast(1, true));
  inOrder(7);
  // Out of range is no hold.
  tsf.SetSendHold(5.0);
  EXPECT_EQ(0.0, tsf.mSendHold);
}

TEST_F(StreamOps, LanguageFilterBlocksOnlyTheUnwantedAudio) {
  struct {
    uint16_t pid;
    uint8_t streamType;
    const char* lang;
  } pids[] = {{0x200, 0x02, ""}, {0x201, 0x03, "eng"}, {0x202, 0x04, "spa"},
              {0x203, 0x81, "fra"}, {0x204, 0x0F, "ger"}, {0x205, 0x06, "ita"}};
  for (auto& p : pids) {
    tsf.mPacketIdMap[p.pid].streamType = p.streamType;
    snprintf(tsf.mPacketIdMap[p.pid].audioLanguage, 4, "%s", p.lang);
  }
  char eng[] = "eng", spa[] = "spa", fra[] = "fra", xxx[] = "xxx", yyy[] = "yyy";
  EXPECT_TRUE(tsf.SetLanguageFilter(eng, 0, spa, 0));
  EXPECT_FALSE(tsf.mPacketIdMap[0x200].block);  // video
  EXPECT_FALSE(tsf.mPacketIdMap[0x201].block);
  EXPECT_FALSE(tsf.mPacketIdMap[0x202].block);
  EXPECT_TRUE(tsf.mPacketIdMap[0x203].block);
  EXPECT_TRUE(tsf.mPacketIdMap[0x204].block);
  EXPECT_FALSE(tsf.mPacketIdMap[0x205].block);  // 0x06 is not an audio type here

  // Nothing matches: nothing changes, earlier blocks stay.
  EXPECT_TRUE(tsf.SetLanguageFilter(xxx, 0, yyy, 0));
  EXPECT_TRUE(tsf.mPacketIdMap[0x203].block);
  EXPECT_FALSE(tsf.mPacketIdMap[0x201].block);
  // A wanted type that differs does not match.
  EXPECT_TRUE(tsf.SetLanguageFilter(fra, 3, yyy, 0));
  EXPECT_TRUE(tsf.mPacketIdMap[0x203].block);
  // Now French is wanted: it flows again and English is blocked.
  EXPECT_TRUE(tsf.SetLanguageFilter(fra, 0, nullptr, 0));
  EXPECT_FALSE(tsf.mPacketIdMap[0x203].block);
  EXPECT_TRUE(tsf.mPacketIdMap[0x201].block);
}

// Every PID the filter blocks is logged, each time a LANG is applied, and
// nothing runs together on standard output.
TEST_F(StreamOps, LanguageFilterLogsEachBlockedPidEveryTime) {
  for (uint16_t pid : {0x201, 0x202, 0x203}) tsf.mPacketIdMap[pid].streamType = 0x81;
  snprintf(tsf.mPacketIdMap[0x201].audioLanguage, 4, "eng");
  snprintf(tsf.mPacketIdMap[0x202].audioLanguage, 4, "spa");
  snprintf(tsf.mPacketIdMap[0x203].audioLanguage, 4, "fra");
  char eng[] = "eng";
  int saved = global_debug_flag;
  global_debug_flag = 1;
  std::string runs[2];
  for (std::string& out : runs) {
    testing::internal::CaptureStdout();
    tsf.SetLanguageFilter(eng, 0, nullptr, 0);
    out = testing::internal::GetCapturedStdout();
  }
  global_debug_flag = saved;
  const std::string want =
      "VYX: Found audio packet pid 0x201, pidlang eng, pidlangType 0, langPri eng, langPriType 0\n"
      "VYX: Found audio packet pid 0x202, pidlang spa, pidlangType 0, langPri eng, langPriType 0\n"
      "VYX: Found audio packet pid 0x203, pidlang fra, pidlangType 0, langPri eng, langPriType 0\n"
      "VYX: SetLanguageFilter: found 1\n"
      "VYX: Blocking packet 0x202\n"
      "VYX: Blocking packet 0x203\n";
  EXPECT_EQ(want, runs[0]);
  EXPECT_EQ(want, runs[1]);  // the same LANG again names them again
}

// A retune forgets the language filter: a PMT of the new multiplex attaches
// its audio unblocked until a LANG comes again.
TEST_F(StreamOps, LanguageFilterEndsWithTheRetune) {
  using tsfix::EsEntry;
  using tsfix::LanguageDescriptor;
  char spa[] = "spa";
  ASSERT_TRUE(tsf.SetLanguageFilter(spa, 0, nullptr, 0));
  tsf.CleanPacketIdMap();
  ASSERT_TRUE(Start(0, {{0x21, 2}}));
  tsfix::PsiPacketizer pat(0), pmt(0x81);
  Bytes ts = tsfix::Join(pat.Packetize(tsfix::MakePat(0x21, 0, {{2, 0x81}})));
  tsfix::Append(ts, tsfix::Join(pmt.Packetize(tsfix::MakePmt(
                        2, 0x200, 0, {EsEntry{0x02, 0x200, {}},
                                      EsEntry{0x81, 0x202, {LanguageDescriptor({{"spa", 0}})}},
                                      EsEntry{0x81, 0x203, {LanguageDescriptor({{"fra", 0}})}}}))));
  Feed(ts);
  ASSERT_TRUE(Attached(0x203, 0));
  EXPECT_FALSE(tsf.mPacketIdMap[0x203].block);
  EXPECT_FALSE(tsf.mPacketIdMap[0x202].block);
  // The next LANG applies to the new map.
  ASSERT_TRUE(tsf.SetLanguageFilter(spa, 0, nullptr, 0));
  EXPECT_TRUE(tsf.mPacketIdMap[0x203].block);
  EXPECT_FALSE(tsf.mPacketIdMap[0x202].block);
}

// A stream started before its program's tables were seen follows them: the
// PAT gives it the PMT PID (and its PAT lists the program), the PMT its
// elementary PIDs; a new PMT version attaches what it adds and detaches
// what it drops, and the language filter judges a new audio PID too.
TEST_F(StreamOps, StreamsFollowALatePmtAndItsNewVersions) {
  using tsfix::EsEntry;
  using tsfix::LanguageDescriptor;
  ASSERT_TRUE(Start(0, {{0x21, 2}}));
  ASSERT_TRUE(Start(1, {{0x21, 3}}));
  EXPECT_FALSE(Attached(0x81, 0));
  tsf.mStreamersList[0]->mPacketSize = 0;  // a datagram per buffer
  Sent(0);

  tsfix::PsiPacketizer pat(0), pmt2(0x81), pmt3(0x82);
  Bytes ts = tsfix::Join(pat.Packetize(tsfix::MakePat(0x21, 0, {{2, 0x81}, {3, 0x82}})));
  tsfix::Append(ts, tsfix::Join(pmt2.Packetize(tsfix::MakePmt(
                        2, 0x200, 0, {EsEntry{0x02, 0x200, {}}, EsEntry{0x81, 0x201, {LanguageDescriptor({{"eng", 0}})}}}))));
  tsfix::Append(ts, tsfix::Join(pmt3.Packetize(tsfix::MakePmt(3, 0x300, 0, {EsEntry{0x02, 0x300, {}}}))));
  Feed(ts);
  EXPECT_TRUE(Attached(0x81, 0));
  EXPECT_TRUE(Attached(0x200, 0));
  EXPECT_TRUE(Attached(0x201, 0));
  EXPECT_FALSE(Attached(0x82, 0));
  EXPECT_FALSE(Attached(0x300, 0));
  EXPECT_TRUE(Attached(0x300, 1));
  EXPECT_FALSE(Attached(0x200, 1));
  // The stream's PAT (sent from the next PAT on) names program 2 and blanks
  // program 3.
  Feed(tsfix::Join(pat.Packetize(tsfix::MakePat(0x21, 0, {{2, 0x81}, {3, 0x82}}))));
  std::vector<Bytes> pats = Sent(0);
  ASSERT_FALSE(pats.empty());
  const Bytes& p = pats.back();  // pointer field, 8 header bytes, then the entries
  EXPECT_EQ(2, (p[13] << 8) | p[14]);
  EXPECT_EQ(0, (p[17] << 8) | p[18]);
  // Its elementary packets flow.
  Bytes es = tsfix::MakeDataPacket(0x200, 1);
  tsfix::Append(es, tsfix::MakeDataPacket(0x300, 1));
  Feed(es);
  EXPECT_EQ(1u, Sent(0x200).size());

  // Version 1: Spanish audio added, English dropped.
  Feed(tsfix::Join(pmt2.Packetize(tsfix::MakePmt(
      2, 0x200, 1, {EsEntry{0x02, 0x200, {}}, EsEntry{0x81, 0x202, {LanguageDescriptor({{"spa", 0}})}}}))));
  EXPECT_TRUE(Attached(0x200, 0));
  EXPECT_TRUE(Attached(0x202, 0));
  EXPECT_FALSE(Attached(0x201, 0));
  EXPECT_TRUE(Attached(0x300, 1));  // the other program's stream is untouched

  // Spanish wanted: French audio that a later version adds comes blocked.
  char spa[] = "spa";
  ASSERT_TRUE(tsf.SetLanguageFilter(spa, 0, nullptr, 0));
  Feed(tsfix::Join(pmt2.Packetize(tsfix::MakePmt(2, 0x200, 2,
                                                 {EsEntry{0x02, 0x200, {}},
                                                  EsEntry{0x81, 0x202, {LanguageDescriptor({{"spa", 0}})}},
                                                  EsEntry{0x81, 0x203, {LanguageDescriptor({{"fra", 0}})}}}))));
  EXPECT_TRUE(Attached(0x203, 0));
  EXPECT_TRUE(tsf.mPacketIdMap[0x203].block);
  EXPECT_FALSE(tsf.mPacketIdMap[0x202].block);
  EXPECT_TRUE(Attached(0x202, 0));
}

TEST_F(StreamOps, DumpPidsCountsPidsSeenOnceOrTwiceAsBogusOnly) {
  tsf.mPacketIdMap[0x100].count = 5;
  tsf.mPacketIdMap[0x101].count = 2;
  tsf.mPacketIdMap[0x102].count = 1;
  snprintf(tsf.mPacketIdMap[0x100].audioLanguage, 4, "eng");
  int saved = global_debug_flag;
  global_debug_flag = 1;
  testing::internal::CaptureStdout();
  tsf.DumpPids();
  tsf.DumpLanguagesAndCaptions();
  std::string out = testing::internal::GetCapturedStdout();
  global_debug_flag = saved;
  EXPECT_NE(std::string::npos, out.find("PID 0100, Status 0, Typ 0, strTyp 0x00")) << out;
  EXPECT_NE(std::string::npos, out.find("strmrs 0x00000000 (0), cnt 5 \tAL eng CL  blk 0 scr 0"))
      << out;
  EXPECT_EQ(std::string::npos, out.find("PID 0101")) << out;
  EXPECT_EQ(std::string::npos, out.find("PID 0102")) << out;
  EXPECT_NE(std::string::npos, out.find("Total 3 unique PIDs found; 2 of them bogus")) << out;
  EXPECT_NE(std::string::npos, out.find("Languages: prog 0x0 pid 0x100 streamType 0x0, lang eng type 00"))
      << out;
}

// The dumps write one line per entry (the debug log adds no line end).
TEST_F(StreamOps, DumpsWriteOneLinePerEntry) {
  tsf.mPacketIdMap[0x100].count = 5;
  tsf.mPacketIdMap[0x101].count = 7;
  tsf.mPacketIdMap[0x102].count = 1;
  tsf.mPacketIdMap[0x101].programId = 3;
  tsf.mPacketIdMap[0x101].streamType = 0x81;
  snprintf(tsf.mPacketIdMap[0x101].audioLanguage, 4, "spa");
  snprintf(tsf.mPacketIdMap[0x100].captionLanguage, 4, "eng");
  int saved = global_debug_flag;
  global_debug_flag = 1;
  testing::internal::CaptureStdout();
  tsf.DumpPids();
  tsf.DumpLanguagesAndCaptions();
  std::string out = testing::internal::GetCapturedStdout();
  global_debug_flag = saved;
  EXPECT_EQ(out,
            "VYX: \n==== List Of Programs ===\n"
            "VYX: PID 0100, Status 0, Typ 0, strTyp 0x00, TSid 0x0000, PrId 0x0000 PMapPid 0x0000, "
            "strmrs 0x00000000 (0), cnt 5 \tAL  CL eng blk 0 scr 0\n"
            "VYX: PID 0101, Status 0, Typ 0, strTyp 0x81, TSid 0x0000, PrId 0x0003 PMapPid 0x0000, "
            "strmrs 0x00000000 (0), cnt 7 \tAL spa CL  blk 0 scr 0\n"
            "VYX: \nTotal 3 unique PIDs found; 1 of them bogus\n"
            "VYX: \n=========================\n"
            "VYX: \n===== Languages =====\n"
            "VYX: Languages: prog 0x3 pid 0x101 streamType 0x81, lang spa type 00\n"
            "VYX: \n===== Captions ====\n"
            "VYX: Subtitles: prog 0x0 pid 0x100 streamType 0x0, lang eng\n"
            "VYX: \n===================\n");
}

}  // namespace
