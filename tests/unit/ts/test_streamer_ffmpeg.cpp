// A real multiplex made by ffmpeg goes through the packet filter with a
// stream attached part-way, as the multicast command does; the datagrams are
// captured on loopback and checked with our own CRC, libdvbpsi and ffprobe.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ts/crc32.h"
#include "ffmpeg_streams.h"
#include "streamer.h"
#include "ts/tsfilter.h"

using ffstreams::Bytes;
using ffstreams::UdpCapture;

namespace {

struct Capture {
  Bytes ts;                    // the datagrams back to back
  std::vector<size_t> sizes;   // datagram sizes
  std::map<int, int> sourceAfterAttach;  // PID -> packets fed after the attachment
  int patsAfterAttach = 0;
  int buffers = 0;           // buffers fed after the attachment
  unsigned sendCalls = 0;    // send system calls of all streams meanwhile
  int leftPending = 0;       // completed datagrams still queued after a buffer
};

class FfmpegStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ffstreams::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    const std::string& path = ffstreams::ThreeProgramStream();
    ASSERT_FALSE(path.empty()) << "ffmpeg could not make the test stream";
    ASSERT_TRUE(ffstreams::ReadFile(path, &source));
    ASSERT_GT(source.size(), 100u * 188u);
    ASSERT_EQ(0u, source.size() % 188);
    ASSERT_TRUE(capture.Ok());
    tsf.FilterActive(true);
  }
  void TearDown() override {
    for (int i = 0; i < TsFilter::kMaxStreams; i++) tsf.RemoveStream(i);
  }

  // The first quarter (whole packets, 100 at a time) lets the filter learn
  // the multiplex; then `attach` runs as the command thread would, and the
  // rest follows in player-sized buffers that split packets.
  Capture Run(const std::function<void()>& attach) {
    Capture c;
    size_t split = source.size() / 4 / 188 * 188;
    for (size_t off = 0; off < split; off += 18800) {
      size_t n = std::min<size_t>(18800, split - off);
      tsf.Filter(source.data() + off, static_cast<int>(n));
    }
    EXPECT_TRUE(capture.Drain().empty());
    attach();
    for (size_t off = split; off < source.size(); off += 188) {
      int pid = ((source[off + 1] & 0x1F) << 8) | source[off + 2];
      c.sourceAfterAttach[pid]++;
      if (pid == 0) c.patsAfterAttach++;
    }
    const size_t kBuffer = 32768;
    auto calls = [this] {
      unsigned n = 0;
      for (Streamer* s : tsf.mStreamersList)
        if (s != nullptr) n += s->mFlushCalls;
      return n;
    };
    unsigned callsBefore = calls();
    for (size_t off = split; off < source.size(); off += kBuffer) {
      size_t n = std::min(kBuffer, source.size() - off);
      // Filter may not change the player's buffer: hand it a copy to check.
      Bytes buffer(source.begin() + off, source.begin() + off + n);
      tsf.Filter(buffer.data(), static_cast<int>(n));
      c.buffers++;
      for (Streamer* s : tsf.mStreamersList)
        if (s != nullptr) c.leftPending += s->PendingDatagrams();
      EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), source.begin() + off));
      for (Bytes& d : capture.Drain()) {
        c.sizes.push_back(d.size());
        c.ts.insert(c.ts.end(), d.begin(), d.end());
      }
    }
    c.sendCalls = calls() - callsBefore;
    c.ts.resize(c.ts.size() / 188 * 188);
    return c;
  }

  static std::map<int, int> Pids(const Bytes& ts) {
    std::map<int, int> m;
    for (const auto& pc : ffstreams::CountPids(ts)) m[pc.pid] = pc.packets;
    return m;
  }

  static Bytes FirstPatSection(const Bytes& ts) {
    for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
      const uint8_t* p = ts.data() + off;
      if (((p[1] & 0x1F) << 8 | p[2]) != 0 || !(p[1] & 0x40)) continue;
      const uint8_t* sec = p + 5 + p[4];
      int len = (((sec[1] & 0x0F) << 8) | sec[2]) + 3;
      return Bytes(sec, sec + len);
    }
    return Bytes();
  }

  Bytes source;
  UdpCapture capture;
  TsFilter tsf{'T', nullptr};
  char ip[16] = "127.0.0.1";
};

TEST_F(FfmpegStream, OneProgramOfThreeLeavesWithOnlyItsPidsAndItsOwnPat) {
  Capture c = Run([this] {
    ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
    ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 2));
    tsf.mPatVersion = -1;
  });
  ASSERT_FALSE(c.ts.empty());
  for (size_t off = 0; off < c.ts.size(); off += 188) ASSERT_EQ(0x47, c.ts[off]) << off;
  // Datagrams of seven packets, longer by at most the piece that crossed.
  for (size_t s : c.sizes) {
    EXPECT_GE(s, 1316u);
    EXPECT_LT(s, 1316u + 188u);
  }
  // What a buffer completes leaves by its end, in one system call (a
  // 32 KiB buffer completes fewer datagrams than a batch holds; one more
  // where the kernel refuses the offload once).
  EXPECT_EQ(0, c.leftPending);
  EXPECT_GT(c.sizes.size(), static_cast<size_t>(c.buffers));
  EXPECT_LE(c.sendCalls, static_cast<unsigned>(c.buffers) + 1);

  std::map<int, int> out = Pids(c.ts);
  std::set<int> allowed = {0x00, 0x11, 0x81, 0x200, 0x201, 0x202, 0x203};
  for (auto& [pid, n] : out) EXPECT_TRUE(allowed.count(pid)) << "PID " << pid << " x" << n;
  // Every elementary packet fed after the attachment, but for what still
  // waits in the stream's buffer, went out.
  for (int pid : {0x81, 0x200, 0x201, 0x202, 0x203}) {
    EXPECT_LE(out[pid], c.sourceAfterAttach[pid]) << pid;
    EXPECT_GE(out[pid], c.sourceAfterAttach[pid] - 7) << pid;
  }
  // The first PAT after the attachment rebuilds the stream's PAT; each later
  // one sends it.
  EXPECT_GE(out[0], c.patsAfterAttach - 2);
  EXPECT_LE(out[0], c.patsAfterAttach - 1);

  Bytes pat = FirstPatSection(c.ts);
  ASSERT_EQ(24u, pat.size());  // three programs (1..3); ffmpeg sends no NIT entry
  EXPECT_EQ(0u, crc32(pat.data(), static_cast<unsigned int>(pat.size())));
  EXPECT_EQ(0x00, pat[8] | pat[9]);    // program 1 blanked
  EXPECT_EQ(0x0080, ((pat[10] & 0x1F) << 8) | pat[11]);
  EXPECT_EQ(0x0002, (pat[12] << 8) | pat[13]);
  EXPECT_EQ(0x00, pat[16] | pat[17]);  // program 3 blanked

  ffstreams::PatView view;
  int decoded = 0, errors = 0;
  if (ffstreams::DvbpsiLastPat(c.ts, &view, &decoded, &errors)) {
    EXPECT_EQ(0, errors);  // continuity and CRC as libdvbpsi sees them
    EXPECT_EQ(1, decoded);
    EXPECT_EQ(0x21, view.tsid);
    std::vector<std::pair<int, int>> carried;
    for (auto& p : view.programs)
      if (p.first != 0) carried.push_back(p);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 0x81}}), carried);
  }

  std::string file = ffstreams::TempPath("one_program.ts");
  ASSERT_TRUE(ffstreams::WriteFile(file, c.ts));
  std::vector<ffstreams::Program> programs;
  ASSERT_TRUE(ffstreams::FfprobePrograms(file, &programs));
  // The blanked entries show up as programs numbered 0 without streams.
  std::vector<ffstreams::Program> real;
  int blanked = 0;
  for (const ffstreams::Program& p : programs) {
    if (p.number != 0) real.push_back(p);
    else blanked++;
  }
  EXPECT_EQ(2, blanked);
  programs = real;
  ASSERT_EQ(1u, programs.size());
  EXPECT_EQ(2, programs[0].number);
  EXPECT_EQ(0x81, programs[0].pmtPid);
  std::vector<int> pids = programs[0].pids;
  std::sort(pids.begin(), pids.end());
  EXPECT_EQ((std::vector<int>{0x200, 0x201, 0x202, 0x203}), pids);
}

TEST_F(FfmpegStream, LanguageFilterKeepsOnlyTheWantedAudio) {
  Capture c = Run([this] {
    ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
    ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 2));
    char eng[] = "eng", spa[] = "spa";
    ASSERT_TRUE(tsf.SetLanguageFilter(eng, 0, spa, 0));
    tsf.mPatVersion = -1;
  });
  std::map<int, int> out = Pids(c.ts);
  EXPECT_GT(out[0x200], 0);
  EXPECT_GT(out[0x201], 0);
  EXPECT_GT(out[0x202], 0);
  EXPECT_EQ(0u, out.count(0x203));  // French
  EXPECT_TRUE(tsf.mPacketIdMap[0x203].block);
  EXPECT_GT(tsf.mPacketIdMap[0x203].count, 0u);  // still counted
}

TEST_F(FfmpegStream, NoProgramPairSendsEveryProgramAndThePatAsReceived) {
  Capture c = Run([this] {
    ASSERT_TRUE(tsf.AddStream(2, ip, capture.Port()));
    ASSERT_TRUE(tsf.AddAllProgramsToStream(2));
    tsf.mPatVersion = -1;
  });
  std::map<int, int> out = Pids(c.ts);
  for (const ffstreams::Program& p : ffstreams::ThreeProgramLayout()) {
    EXPECT_GT(out[p.pmtPid], 0) << p.pmtPid;
    for (int pid : p.pids) EXPECT_GT(out[pid], 0) << pid;
  }
  EXPECT_EQ(3, tsf.mStreamersList[2]->GetProgramCount());
  Bytes pat = FirstPatSection(c.ts);
  Bytes received = FirstPatSection(source);
  EXPECT_EQ(received, pat);

  std::string file = ffstreams::TempPath("all_programs.ts");
  ASSERT_TRUE(ffstreams::WriteFile(file, c.ts));
  std::vector<ffstreams::Program> programs;
  ASSERT_TRUE(ffstreams::FfprobePrograms(file, &programs));
  EXPECT_EQ(3u, programs.size());
}

}  // namespace
