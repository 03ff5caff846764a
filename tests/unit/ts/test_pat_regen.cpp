// Section packetizing and each stream's regenerated PAT: programs the stream
// does not carry are blanked, the CRC is recomputed, and every send continues
// the stream's PID 0 continuity, also for a PAT of six packets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ffmpeg_streams.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"

using ffstreams::Bytes;
using ffstreams::UdpCapture;

namespace {

Bytes section_of(int n) {
  Bytes s(n);
  for (int i = 0; i < n; i++) s[i] = static_cast<uint8_t>(i * 3 + 1);
  return s;
}

// Payload bytes of packets written by PacketizeSection, pointer field skipped.
Bytes payload_of(const uint8_t* packets, int len) {
  Bytes out;
  for (int off = 0; off < len; off += 188) {
    const uint8_t* p = packets + off;
    int start = (p[1] & 0x40) ? 5 : 4;
    out.insert(out.end(), p + start, p + 188);
  }
  return out;
}

TEST(PacketizeSection, SectionOf183BytesFillsExactlyOnePacket) {
  TsFilter tsf('T', nullptr);
  Bytes sec = section_of(183);
  uint8_t out[6 * 188];
  int cc = 15;
  ASSERT_EQ(188, tsf.PacketizeSection(0, &cc, sec.data(), 183, out));
  EXPECT_EQ(0, cc);  // 15 wraps to 0
  EXPECT_EQ(0x47, out[0]);
  EXPECT_EQ(0x40, out[1]);
  EXPECT_EQ(0x00, out[2]);
  EXPECT_EQ(0x10, out[3]);
  EXPECT_EQ(0x00, out[4]);  // pointer_field
  EXPECT_EQ(sec, Bytes(out + 5, out + 188));
}

TEST(PacketizeSection, SectionOf184BytesTakesTwoPacketsTheSecondMostlyStuffing) {
  TsFilter tsf('T', nullptr);
  Bytes sec = section_of(184);
  uint8_t out[6 * 188];
  int cc = 4;
  ASSERT_EQ(376, tsf.PacketizeSection(0, &cc, sec.data(), 184, out));
  EXPECT_EQ(6, cc);
  EXPECT_EQ(0x15, out[3]);
  const uint8_t* second = out + 188;
  EXPECT_EQ(0x47, second[0]);
  EXPECT_EQ(0x00, second[1]);  // no unit start
  EXPECT_EQ(0x16, second[3]);
  EXPECT_EQ(sec[183], second[4]);
  EXPECT_EQ(Bytes(183, 0xFF), Bytes(second + 5, second + 188));
}

TEST(PacketizeSection, LargestSectionTakesSixPacketsAndReassembles) {
  TsFilter tsf('T', nullptr);
  Bytes sec = section_of(1024);
  uint8_t out[6 * 188];
  int cc = 0;
  ASSERT_EQ(6 * 188, tsf.PacketizeSection(0x1FFB, &cc, sec.data(), 1024, out));
  Bytes payload = payload_of(out, 6 * 188);
  EXPECT_EQ(sec, Bytes(payload.begin(), payload.begin() + 1024));
  for (size_t i = 1024; i < payload.size(); i++) ASSERT_EQ(0xFF, payload[i]);
  for (int k = 0; k < 6; k++) {
    // All 13 PID bits are written, not only the low byte.
    EXPECT_EQ(0x1F, out[k * 188 + 1] & 0x1F);
    EXPECT_EQ(0xFB, out[k * 188 + 2]);
    EXPECT_EQ(0x10 + k + 1, out[k * 188 + 3]);
  }
}

TEST(PacketizeSection, RefusesOversizedSectionsBadPidsAndEmptyInput) {
  TsFilter tsf('T', nullptr);
  Bytes sec = section_of(1025);
  uint8_t out[8 * 188];
  int cc = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, tsf.PacketizeSection(0, &cc, sec.data(), 1025, out));
  EXPECT_EQ(0, tsf.PacketizeSection(0x2000, &cc, sec.data(), 100, out));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("pid 0x0, section_len 1025")) << err;
  EXPECT_NE(std::string::npos, err.find("pid 0x2000, section_len 100")) << err;
  EXPECT_EQ(0, tsf.PacketizeSection(0, &cc, sec.data(), 0, out));
  EXPECT_EQ(0, cc);
}

// A transmitter filter with stream 0 aimed at a loopback capture.  The PAT
// handler would register the PMT PIDs; here the map entries are set directly.
struct PrivatePat : ::testing::Test {
  UdpCapture capture;
  TsFilter tsf{'T', nullptr};
  Streamer* s = nullptr;

  void SetUp() override {
    ASSERT_TRUE(capture.Ok());
    char ip[] = "127.0.0.1";
    ASSERT_TRUE(tsf.AddStream(0, ip, capture.Port()));
    s = tsf.mStreamersList[0];
    ASSERT_NE(nullptr, s);
  }
  void TearDown() override {
    for (int i = 0; i < TsFilter::kMaxStreams; i++) tsf.RemoveStream(i);
  }
  void Register(uint16_t tsid, uint16_t program, uint16_t pmtPid) {
    tsf.mPacketIdMap[pmtPid].transportId = tsid;
    tsf.mPacketIdMap[pmtPid].programId = program;
    tsf.mPacketIdMap[pmtPid].type = ePidTypePmt;
  }
  // The stored PAT back as a section (from the ready packets).
  Bytes StoredSection() {
    Bytes payload = payload_of(s->mpPrivatePatBuffer, s->mPrivatePatBufferLen);
    int len = (((payload[1] & 0x0F) << 8) | payload[2]) + 3;
    return Bytes(payload.begin(), payload.begin() + len);
  }
};

TEST_F(PrivatePat, OneProgramStreamBlanksTheOthersAndGetsAValidCrc) {
  Register(0x21, 1, 0x80);
  Register(0x21, 2, 0x81);
  Register(0x21, 3, 0x82);
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 2));
  Bytes pat = tsfix::MakePat(0x21, 5, {{0, 0x10}, {1, 0x80}, {2, 0x81}, {3, 0x82}});

  tsf.RegeneratePrivatePats(pat.data());
  ASSERT_EQ(188, s->mPrivatePatBufferLen);
  EXPECT_TRUE(s->mPrivatePatCrcInvalid);
  Bytes got = StoredSection();
  Bytes want = tsfix::MakePat(0x21, 5, {{0, 0x10}, {0, 0x80}, {2, 0x81}, {0, 0x82}});
  EXPECT_EQ(want, got);  // same header, PIDs kept, CRC of the edited section
  EXPECT_EQ(0u, tsfix::Crc32(got.data(), got.size()));
  // Rebuilding does not send.
  EXPECT_TRUE(capture.Drain().empty());

  // Each following PAT of the same version sends it, continuity counting on.
  s->mPacketSize = 188;
  for (int i = 0; i < 17; i++) tsf.SendPrivatePats();
  EXPECT_TRUE(capture.Drain().empty());  // queued until the buffer's end
  tsf.FlushStreamers();
  std::vector<Bytes> sent = capture.Drain();
  ASSERT_EQ(17u, sent.size());
  for (int i = 0; i < 17; i++) {
    ASSERT_EQ(188u, sent[i].size());
    EXPECT_EQ(0x40, sent[i][1]);
    EXPECT_EQ((i + 1) & 0x0F, sent[i][3] & 0x0F) << "send " << i;
    EXPECT_EQ(0x10, sent[i][3] & 0xF0);
  }

  ffstreams::PatView view;
  int decoded = 0, errors = 0;
  Bytes all;
  for (const Bytes& d : sent) all.insert(all.end(), d.begin(), d.end());
  if (ffstreams::DvbpsiLastPat(all, &view, &decoded, &errors)) {
    EXPECT_EQ(1, decoded);  // same version: decoded once
    EXPECT_EQ(0, errors);
    EXPECT_EQ(0x21, view.tsid);
    EXPECT_EQ(5, view.version);
    std::vector<std::pair<int, int>> programs;
    for (auto& p : view.programs)
      if (p.first != 0) programs.push_back(p);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 0x81}}), programs);
  }
}

TEST_F(PrivatePat, AllProgramsCarriedLeavesThePatAsReceived) {
  Register(0x21, 1, 0x80);
  Register(0x21, 2, 0x81);
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 1));
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 2));
  Bytes pat = tsfix::MakePat(0x21, 1, {{1, 0x80}, {2, 0x81}});
  tsf.RegeneratePrivatePats(pat.data());
  EXPECT_FALSE(s->mPrivatePatCrcInvalid);
  EXPECT_EQ(pat, StoredSection());
}

TEST_F(PrivatePat, NothingIsSentBeforeTheFirstPatWasAnalysed) {
  s->mPacketSize = 0;
  tsf.SendPrivatePats();
  tsf.FlushStreamers();
  EXPECT_TRUE(capture.Drain().empty());
}

TEST_F(PrivatePat, SixPacketPatIsStoredWholeAndStaysContinuous) {
  // 253 programs: section_length 1021, the largest PAT accepted.
  std::vector<tsfix::PatEntry> entries;
  for (int p = 1; p <= 253; p++) {
    entries.push_back({static_cast<uint16_t>(p), static_cast<uint16_t>(0x100 + p)});
    Register(0x99, static_cast<uint16_t>(p), static_cast<uint16_t>(0x100 + p));
  }
  Bytes pat = tsfix::MakePat(0x99, 2, entries);
  ASSERT_EQ(1024u, pat.size());
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x99, 7));
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x99, 200));

  tsf.RegeneratePrivatePats(pat.data());
  ASSERT_EQ(6 * 188, s->mPrivatePatBufferLen);
  std::vector<tsfix::PatEntry> kept;
  for (const tsfix::PatEntry& e : entries)
    kept.push_back({static_cast<uint16_t>((e.program == 7 || e.program == 200) ? e.program : 0),
                    e.pid});
  EXPECT_EQ(tsfix::MakePat(0x99, 2, kept), StoredSection());

  s->mPacketSize = 6 * 188;
  tsf.SendPrivatePats();
  tsf.SendPrivatePats();
  tsf.FlushStreamers();
  std::vector<Bytes> sent = capture.Drain();
  ASSERT_EQ(2u, sent.size());
  Bytes all;
  for (const Bytes& d : sent) {
    ASSERT_EQ(6u * 188u, d.size());
    all.insert(all.end(), d.begin(), d.end());
  }
  for (int k = 0; k < 12; k++) EXPECT_EQ((k + 1) & 0x0F, all[k * 188 + 3] & 0x0F) << k;

  ffstreams::PatView view;
  int decoded = 0, errors = 0;
  if (ffstreams::DvbpsiLastPat(all, &view, &decoded, &errors)) {
    EXPECT_EQ(1, decoded);
    EXPECT_EQ(0, errors);
    ASSERT_EQ(253u, view.programs.size());
    int carried = 0;
    for (auto& p : view.programs) carried += p.first != 0;
    EXPECT_EQ(2, carried);
  }
}

TEST_F(PrivatePat, SectionsBeyondTheLargestPatAreIgnored) {
  Bytes pat = tsfix::MakePat(0x21, 1, {{1, 0x80}});
  // Claim section_length 1022 (1025 bytes in all); the buffer holds more.
  Bytes big(1100, 0);
  std::copy(pat.begin(), pat.end(), big.begin());
  big[1] = static_cast<uint8_t>((big[1] & 0xF0) | (1022 >> 8));
  big[2] = 1022 & 0xFF;
  tsf.RegeneratePrivatePats(big.data());
  EXPECT_EQ(0, s->mPrivatePatBufferLen);
  // Too short to hold a header and a CRC.
  Bytes tiny = {0x00, 0xB0, 0x05, 0, 1, 0xC1, 0, 0};
  tsf.RegeneratePrivatePats(tiny.data());
  EXPECT_EQ(0, s->mPrivatePatBufferLen);
}

TEST_F(PrivatePat, EveryStreamGetsItsOwnPat) {
  UdpCapture second;
  ASSERT_TRUE(second.Ok());
  char ip[] = "127.0.0.1";
  ASSERT_TRUE(tsf.AddStream(3, ip, second.Port()));
  Streamer* s3 = tsf.mStreamersList[3];
  Register(0x21, 1, 0x80);
  Register(0x21, 2, 0x81);
  ASSERT_TRUE(tsf.AddProgramToStream(0, 0x21, 1));
  ASSERT_TRUE(tsf.AddProgramToStream(3, 0x21, 2));
  tsf.RegeneratePrivatePats(tsfix::MakePat(0x21, 0, {{1, 0x80}, {2, 0x81}}).data());
  s->mPacketSize = 188;
  s3->mPacketSize = 188;
  tsf.SendPrivatePats();
  tsf.FlushStreamers();
  std::vector<Bytes> a = capture.Drain();
  std::vector<Bytes> b = second.Drain();
  ASSERT_EQ(1u, a.size());
  ASSERT_EQ(1u, b.size());
  Bytes secA(a[0].begin() + 5, a[0].begin() + 5 + 20);
  Bytes secB(b[0].begin() + 5, b[0].begin() + 5 + 20);
  EXPECT_EQ(tsfix::MakePat(0x21, 0, {{1, 0x80}, {0, 0x81}}), secA);
  EXPECT_EQ(tsfix::MakePat(0x21, 0, {{0, 0x80}, {2, 0x81}}), secB);
}

}  // namespace
