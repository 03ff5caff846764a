// PAT, PMT and descriptor analysis: registrations in the PID map and in the
// tuner manager, hostile sections, and real captures fed through the filter.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "statistics.h"
#include "ts/tablecollector.h"

using tsfix::Bytes;

namespace {

// A section in a heap block of exactly its size: the sanitizer catches any
// read past it.
struct Exact {
  std::unique_ptr<unsigned char[]> p;
  explicit Exact(const Bytes& b) : p(new unsigned char[b.size()]) { memcpy(p.get(), b.data(), b.size()); }
  unsigned char* get() { return p.get(); }
};

// A section as the receiver's player hands it: in a 1024-byte block.
struct PlayerBlock {
  unsigned char b[1024];
  explicit PlayerBlock(const Bytes& s) {
    memset(b, 0, sizeof(b));
    memcpy(b, s.data(), std::min(s.size(), sizeof(b)));
  }
};

using vyxtest::FindProgram;

// "code@pid:type" entries of one mode, in list order.
std::vector<std::string> Languages(TunerManager& tm, uint16_t programId, Language::LanguageModeEnum mode) {
  std::vector<std::string> out;
  ScalProgramDesc* p = FindProgram(tm, programId);
  if (p == nullptr) return out;
  for (Language* l = p->language.head; l != nullptr; l = l->pNext) {
    if (l->languageMode != mode) continue;
    char buf[64];
    snprintf(buf, sizeof(buf), "%s@%x:%d", l->language, l->audioPid,
             mode == Language::eAudio ? l->audioType : l->captionServiceNum);
    out.push_back(buf);
  }
  return out;
}

tsfix::CaptionService Cc(const char* code, uint8_t n) { return {code, true, n, false, true}; }

}  // namespace

TEST(Pat, RegistersPmtPidsAndPrograms) {
  TunerManager tm('T');
  TsFilter f('T', &tm);
  f.mPacketIdMap[0x10].type = ePidTypeVct;
  unsigned int pats = Statistics::Self()->mPatCounter;
  Bytes pat = tsfix::MakePat(0x0BB8, 3, {{0, 0x10}, {1, 0x100}, {0x22, 0x1FF0}});
  EXPECT_TRUE(f.AnalyzeSectionPat(Exact(pat).get()));
  const PacketIdMapType& e = f.mPacketIdMap[0x100];
  EXPECT_EQ(ePidTypePmt, e.type);
  EXPECT_EQ(ePidAnalyse, e.status);
  EXPECT_EQ(1, e.programId);
  EXPECT_EQ(0x0BB8, e.transportId);
  EXPECT_EQ(ePidTypePmt, f.mPacketIdMap[0x1FF0].type);
  EXPECT_EQ(ePidTypeNone, f.mPacketIdMap[0x10].type);  // network PID
  EXPECT_EQ(0, f.mPacketIdMap[0x10].programId);
  EXPECT_EQ(pats + 1, Statistics::Self()->mPatCounter);
  EXPECT_EQ(2, tm.GetScalProgramDesc(0)->count);
  ScalProgramDesc* p = FindProgram(tm, 1);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0x0BB8, p->transportId);
  EXPECT_EQ(nullptr, FindProgram(tm, 0));
  EXPECT_EQ(2, tm.mProgramsOnChannel);
}

// Once every 128 PATs the next one is analysed again even when its version
// did not change, in both roles.
TEST(Pat, SameVersionIsRefreshedEvery128) {
  for (char role : {'T', 'R'}) {
    TsFilter f(role, nullptr);
    Bytes pat = tsfix::MakePat(5, 7, {{1, 0x100}});
    int analysed = 0;
    bool expectAnalysis = true;
    for (int i = 0; i < 300; ++i) {
      unsigned int before = Statistics::Self()->mPatCounter;
      ASSERT_TRUE(f.AnalyzeSectionPat(pat.data()));
      bool did = Statistics::Self()->mPatCounter != before;
      ASSERT_EQ(expectAnalysis, did) << role << " " << i;
      analysed += did;
      bool refresh = (TsFilter::sPatCounter & 127u) == 15u;
      ASSERT_EQ(refresh ? -1 : (7 << 1), f.mPatVersion);
      expectAnalysis = refresh;
    }
    EXPECT_GE(analysed, 3);
  }
}

TEST(Pat, BadSectionLengths) {
  TsFilter f('R', nullptr);
  Bytes pat = tsfix::MakePat(5, 0, {{1, 0x100}});
  PlayerBlock big(pat);
  big.b[1] = 0xB3;  // section_length 0x3FE = 1022
  big.b[2] = 0xFE;
  EXPECT_FALSE(f.AnalyzeSectionPat(big.b));
  Bytes tiny{0x00, 0xB0, 0x05, 0x00, 0x01, 0xC1, 0x00, 0x00};
  EXPECT_FALSE(f.AnalyzeSectionPat(Exact(tiny).get()));  // no room for header and CRC
  EXPECT_EQ(0, f.mPacketIdMap[0x100].type);
  big.b[2] = 0xFD;  // 1021: accepted (entries read within the section)
  EXPECT_TRUE(f.AnalyzeSectionPat(big.b));
  EXPECT_EQ(ePidTypePmt, f.mPacketIdMap[0x100].type);
}

TEST(Pmt, RegistersStreamsWithTunerInfoAndLanguages) {
  TunerManager tm('T');
  TsFilter f('T', &tm);
  f.mPacketIdMap[0x103].scrambling = eScrambled;
  ASSERT_TRUE(f.AnalyzeSectionPat(Exact(tsfix::MakePat(1, 0, {{1, 0x100}, {2, 0x200}})).get()));
  unsigned int pmts = Statistics::Self()->mPmtCounter;
  Bytes pmt = tsfix::MakePmt(1, 0x101, 0,
                             {{0x02, 0x101, {}},
                              {0x81, 0x102, {tsfix::LanguageDescriptor({{"eng", 0}})}},
                              {0x06, 0x103, {}},
                              {0x04, 0x0000, {tsfix::LanguageDescriptor({{"xxx", 0}})}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(pmt).get(), 0x100));
  EXPECT_EQ(pmts + 1, Statistics::Self()->mPmtCounter);
  const PacketIdMapType& v = f.mPacketIdMap[0x101];
  EXPECT_EQ(ePidTypeEs, v.type);
  EXPECT_EQ(ePidKnown, v.status);
  EXPECT_EQ(0x02, v.streamType);
  EXPECT_EQ(1, v.programId);
  EXPECT_EQ(1, v.transportId);
  EXPECT_STREQ("eng", f.mPacketIdMap[0x102].audioLanguage);
  EXPECT_EQ(0, f.mPacketIdMap[0].streamType);  // PID 0 entries are skipped
  ScalProgramDesc* p = FindProgram(tm, 1);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0x02u, p->videoType);
  EXPECT_EQ(0x81u, p->audioType);  // 0x06 is neither
  EXPECT_EQ('E', p->encryption);
  EXPECT_EQ(std::vector<std::string>{"eng@102:0"}, Languages(tm, 1, Language::eAudio));

  // A PID listed again by another program keeps its first registration.
  Bytes pmt2 = tsfix::MakePmt(2, 0x201, 0, {{0x1B, 0x101, {}}, {0x03, 0x202, {}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(pmt2).get(), 0x200));
  EXPECT_EQ(1, f.mPacketIdMap[0x101].programId);
  EXPECT_EQ(0x02, f.mPacketIdMap[0x101].streamType);
  EXPECT_EQ(2, f.mPacketIdMap[0x202].programId);
  const ScalProgramDesc* p2 = FindProgram(tm, 2);
  ASSERT_NE(nullptr, p2);
  EXPECT_EQ(0u, p2->videoType);
  EXPECT_EQ(0x03u, p2->audioType);
}

// A new PMT version that no longer lists a PID releases it from the
// program: the PID map forgets its program, type and language, so another
// program's PMT that lists it later claims it (with its own language).
TEST(Pmt, PidDroppedByANewVersionLeavesItsProgram) {
  using tsfix::EsEntry;
  using tsfix::LanguageDescriptor;
  TunerManager tm('T');
  TsFilter f('T', &tm);
  ASSERT_TRUE(f.AnalyzeSectionPat(Exact(tsfix::MakePat(1, 0, {{1, 0x100}, {2, 0x200}})).get()));
  Bytes v0 = tsfix::MakePmt(1, 0x101, 0, {{0x02, 0x101, {}}, {0x81, 0x102, {LanguageDescriptor({{"eng", 0}})}}});
  ASSERT_TRUE(f.AnalyzeSectionPmt(Exact(v0).get(), 0x100));
  ASSERT_TRUE(f.AnalyzeSectionPmt(Exact(tsfix::MakePmt(2, 0x201, 0, {{0x02, 0x201, {}}})).get(), 0x200));
  ASSERT_EQ(1, f.mPacketIdMap[0x102].programId);

  Bytes v1 = tsfix::MakePmt(1, 0x101, 1, {{0x02, 0x101, {}}});
  ASSERT_TRUE(f.AnalyzeSectionPmt(Exact(v1).get(), 0x100));
  const PacketIdMapType& gone = f.mPacketIdMap[0x102];
  EXPECT_EQ(0, gone.programId);
  EXPECT_EQ(0, gone.transportId);
  EXPECT_EQ(ePidTypeNone, gone.type);
  EXPECT_EQ(ePidAnalyse, gone.status);
  EXPECT_EQ(0, gone.streamType);
  EXPECT_STREQ("", gone.audioLanguage);
  EXPECT_EQ(1, f.mPacketIdMap[0x101].programId);  // still listed
  EXPECT_EQ(2, f.mPacketIdMap[0x201].programId);  // another program's

  Bytes p2v1 = tsfix::MakePmt(2, 0x201, 1, {{0x02, 0x201, {}}, {0x81, 0x102, {LanguageDescriptor({{"spa", 0}})}}});
  ASSERT_TRUE(f.AnalyzeSectionPmt(Exact(p2v1).get(), 0x200));
  EXPECT_EQ(2, f.mPacketIdMap[0x102].programId);
  EXPECT_EQ(0x81, f.mPacketIdMap[0x102].streamType);
  EXPECT_EQ(std::vector<std::string>{"spa@102:0"}, Languages(tm, 2, Language::eAudio));
  // Program 1's next version does not list it either: it is program 2's
  // now and stays so.
  ASSERT_TRUE(f.AnalyzeSectionPmt(Exact(tsfix::MakePmt(1, 0x101, 2, {{0x02, 0x101, {}}})).get(), 0x100));
  EXPECT_EQ(2, f.mPacketIdMap[0x102].programId);
  EXPECT_EQ(ePidKnown, f.mPacketIdMap[0x102].status);
}

TEST(Descriptors, LanguageWithTwoEntriesReportsTheLast) {
  TunerManager tm('T');
  TsFilter f('T', &tm);
  ASSERT_TRUE(f.AnalyzeSectionPat(Exact(tsfix::MakePat(1, 0, {{4, 0x100}})).get()));
  Bytes pmt = tsfix::MakePmt(4, 0x101, 0,
                             {{0x81, 0x102, {tsfix::LanguageDescriptor({{"eng", 1}, {"spa", 3}})}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(pmt).get(), 0x100));
  EXPECT_STREQ("spa", f.mPacketIdMap[0x102].audioLanguage);
  EXPECT_EQ(0, f.mPacketIdMap[0x102].audioLangType);  // not written by the analysis
  EXPECT_EQ(std::vector<std::string>{"spa@102:3"}, Languages(tm, 4, Language::eAudio));
}

TEST(Descriptors, CaptionServiceCountAndLength) {
  TunerManager tm('T');
  TsFilter f('T', &tm);
  ASSERT_TRUE(f.AnalyzeSectionPat(Exact(tsfix::MakePat(1, 0, {{4, 0x100}, {5, 0x200}, {6, 0x300}})).get()));
  // Two services, descriptor_length 13: accepted, the last service reported.
  Bytes ok = tsfix::MakePmt(4, 0x101, 0, {{0x02, 0x101, {tsfix::CaptionDescriptor({Cc("eng", 1), Cc("spa", 2)})}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(ok).get(), 0x100));
  EXPECT_STREQ("spa", f.mPacketIdMap[0x101].captionLanguage);
  EXPECT_EQ(std::vector<std::string>{"spa@101:2"}, Languages(tm, 4, Language::eCaption));
  // descriptor_length 12 with two services announced: "Bad descriptor!".
  tsfix::Descriptor d12 = tsfix::CaptionDescriptor({Cc("eng", 1), Cc("spa", 2)}, -1, 12);
  d12.body.pop_back();
  Bytes bad = tsfix::MakePmt(5, 0x201, 0, {{0x02, 0x201, {d12}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(bad).get(), 0x200));
  EXPECT_TRUE(Languages(tm, 5, Language::eCaption).empty());
  // A count larger than the descriptor holds: nothing read past it.
  tsfix::Descriptor many = tsfix::CaptionDescriptor({Cc("eng", 1)}, 31);
  tsfix::Descriptor none = tsfix::CaptionDescriptor({});
  Bytes hostile = tsfix::MakePmt(6, 0x301, 0, {{0x02, 0x301, {many}}, {0x02, 0x302, {none}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(hostile).get(), 0x300));
  EXPECT_TRUE(Languages(tm, 6, Language::eCaption).empty());
  // stream_type 0x86 is not the caption descriptor tag.
  Bytes scte = tsfix::MakePmt(6, 0x301, 1, {{0x86, 0x303, {}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(scte).get(), 0x300));
  EXPECT_EQ(0x86, f.mPacketIdMap[0x303].streamType);
  EXPECT_TRUE(Languages(tm, 6, Language::eCaption).empty());
}

TEST(Descriptors, TransportIdRules) {
  // Transmitter: a PMT on a PID no PAT named has transport id 0: no report.
  {
    TunerManager tm('T');
    TsFilter f('T', &tm);
    ASSERT_TRUE(f.AnalyzeSectionPat(Exact(tsfix::MakePat(1, 0, {{4, 0x100}})).get()));
    Bytes pmt = tsfix::MakePmt(4, 0x501, 0, {{0x81, 0x502, {tsfix::LanguageDescriptor({{"eng", 0}})}}});
    EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(pmt).get(), 0x500));
    EXPECT_STREQ("eng", f.mPacketIdMap[0x502].audioLanguage);
    EXPECT_TRUE(Languages(tm, 4, Language::eAudio).empty());
  }
  // Receiver: PMTs come with PID 0; languages go with transport id 0.
  {
    TunerManager tm('R');
    TsFilter f('R', &tm);
    PlayerBlock pat(tsfix::MakePat(9, 0, {{4, 0x100}}));
    ASSERT_TRUE(f.AnalyzeSectionPat(pat.b));
    PlayerBlock pmt(tsfix::MakePmt(4, 0x501, 0, {{0x81, 0x502, {tsfix::LanguageDescriptor({{"fre", 2}})}},
                                                 {0x02, 0x501, {tsfix::CaptionDescriptor({Cc("eng", 3)})}}}));
    EXPECT_TRUE(f.AnalyzeSectionPmt(pmt.b, 0));
    EXPECT_EQ(0, f.mPacketIdMap[0x502].transportId);
    EXPECT_EQ(std::vector<std::string>{"fre@502:2"}, Languages(tm, 4, Language::eAudio));
    EXPECT_EQ(std::vector<std::string>{"eng@501:3"}, Languages(tm, 4, Language::eCaption));
  }
}

TEST(Hostile, LengthsPastTheirBounds) {
  TunerManager tm('R');
  TsFilter f('R', &tm);
  PlayerBlock pat(tsfix::MakePat(9, 0, {{4, 0x100}}));
  ASSERT_TRUE(f.AnalyzeSectionPat(pat.b));

  // program_info_length past the section.
  Bytes pil = tsfix::MakePmt(4, 0x101, 0, {{0x02, 0x101, {}}});
  pil[10] = 0xF0;
  pil[11] = 0x40;
  tsfix::FixCrc(pil);
  EXPECT_FALSE(f.AnalyzeSectionPmt(Exact(pil).get(), 0));
  EXPECT_EQ(0, f.mPacketIdMap[0x101].type);

  // ES_info_length past the loop: earlier entries stay, the bad one is not taken.
  tsfix::EsEntry good{0x02, 0x111, {}};
  tsfix::EsEntry liar{0x81, 0x112, {tsfix::LanguageDescriptor({{"eng", 0}})}};
  liar.esInfoLengthOverride = 200;
  Bytes esl = tsfix::MakePmt(4, 0x111, 0, {good, liar});
  EXPECT_FALSE(f.AnalyzeSectionPmt(Exact(esl).get(), 0));
  EXPECT_EQ(ePidTypeEs, f.mPacketIdMap[0x111].type);
  EXPECT_EQ(0, f.mPacketIdMap[0x112].type);
  EXPECT_STREQ("", f.mPacketIdMap[0x112].audioLanguage);

  // A descriptor longer than its loop is not read; the section is accepted.
  tsfix::Descriptor longLang = tsfix::LanguageDescriptor({{"spa", 0}});
  longLang.lengthOverride = 40;
  Bytes dl = tsfix::MakePmt(4, 0x121, 0, {{0x81, 0x122, {longLang}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(dl).get(), 0));
  EXPECT_EQ(ePidTypeEs, f.mPacketIdMap[0x122].type);
  EXPECT_STREQ("", f.mPacketIdMap[0x122].audioLanguage);
  // A language descriptor with a partial entry names no language.
  tsfix::Descriptor shortLang{0x0A, {'i', 't'}};
  Bytes sl = tsfix::MakePmt(4, 0x131, 0, {{0x81, 0x132, {shortLang}}});
  EXPECT_TRUE(f.AnalyzeSectionPmt(Exact(sl).get(), 0));
  EXPECT_STREQ("", f.mPacketIdMap[0x132].audioLanguage);
  EXPECT_TRUE(Languages(tm, 4, Language::eAudio).empty());

  // Entry cut inside its 5-byte header.
  Bytes cut = tsfix::MakePmt(4, 0x141, 0, {{0x02, 0x141, {}}});
  cut.insert(cut.end() - 4, {0x02, 0xE1});
  cut[2] = static_cast<uint8_t>(cut[2] + 2);
  tsfix::FixCrc(cut);
  EXPECT_FALSE(f.AnalyzeSectionPmt(Exact(cut).get(), 0));
  EXPECT_EQ(ePidTypeEs, f.mPacketIdMap[0x141].type);

  // section_length beyond a PSI section, or too short for a PMT.
  PlayerBlock huge(tsfix::MakePmt(4, 0x151, 0, {{0x02, 0x151, {}}}));
  huge.b[1] = 0xBF;
  huge.b[2] = 0xFF;
  EXPECT_FALSE(f.AnalyzeSectionPmt(huge.b, 0));
  Bytes tiny{0x02, 0xB0, 0x0C, 0, 4, 0xC1, 0, 0, 0xE1, 0x51, 0xF0, 0x00, 0, 0, 0};
  EXPECT_FALSE(f.AnalyzeSectionPmt(Exact(tiny).get(), 0));
  EXPECT_EQ(0, f.mPacketIdMap[0x151].type);
}

// A PAT whose section_length leaves a piece of an entry before the CRC: the
// piece is no program (it would be read from the CRC bytes).
TEST(Hostile, PatEntryCutByTheCrcIsNotAProgram) {
  TunerManager tm('R');
  TsFilter f('R', &tm);
  Bytes pat = tsfix::MakePat(0x0BB8, 1, {{1, 0x100}});
  pat.insert(pat.end() - 4, {0x00, 0x07});  // program 7, PID in the CRC
  pat[2] = static_cast<uint8_t>(pat[2] + 2);
  tsfix::FixCrc(pat);
  EXPECT_TRUE(f.AnalyzeSectionPat(Exact(pat).get()));
  EXPECT_EQ(ePidTypePmt, f.mPacketIdMap[0x100].type);
  EXPECT_NE(nullptr, FindProgram(tm, 1));
  EXPECT_EQ(nullptr, FindProgram(tm, 7));
  EXPECT_EQ(1, tm.GetScalProgramDesc(0)->count);
}

// Random corruption of PAT and PMT sections handed over as the receiver's
// player does (1024-byte blocks): never a read or write outside them, lying
// lengths refused, and the clean tables registered right afterwards.
TEST(Hostile, CorruptedSectionsNeverOverrunAndLeaveNoTrace) {
  TunerManager tm('R');
  TsFilter f('R', &tm);
  std::mt19937 rng(4242);
  Bytes pmt = tsfix::MakePmt(4, 0x101, 0,
                             {{0x02, 0x101, {tsfix::CaptionDescriptor({Cc("eng", 1), Cc("fre", 2)})}},
                              {0x81, 0x102, {tsfix::LanguageDescriptor({{"eng", 0}, {"spa", 1}})}}},
                             {tsfix::LanguageDescriptor({{"deu", 0}})});
  Bytes pat = tsfix::MakePat(3, 0, {{4, 0x100}, {5, 0x200}});
  int refused = 0;
  for (int i = 0; i < 20000; ++i) {
    const Bytes& base = (i % 4 == 0) ? pat : pmt;
    PlayerBlock blk(base);
    for (size_t k = base.size(); k < sizeof(blk.b); ++k) blk.b[k] = static_cast<uint8_t>(rng());
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < flips; ++k) blk.b[rng() % (base.size() + 8)] = static_cast<uint8_t>(rng());
    bool taken = (i % 4 == 0) ? f.AnalyzeSectionPat(blk.b) : f.AnalyzeSectionPmt(blk.b, 0);
    refused += !taken;
    if (i % 1000 == 0) f.CleanPacketIdMap();
  }
  // A flipped length byte makes a section too long for a PSI section or
  // cuts a loop: some thousands of the 20000 are refused, never all.
  EXPECT_GT(refused, 1000);
  EXPECT_LT(refused, 19000);

  f.CleanPacketIdMap();
  ASSERT_TRUE(f.AnalyzeSectionPat(PlayerBlock(pat).b));
  ASSERT_TRUE(f.AnalyzeSectionPmt(PlayerBlock(pmt).b, 0x100));
  EXPECT_EQ(ePidTypeEs, f.mPacketIdMap[0x101].type);
  EXPECT_EQ(4, f.mPacketIdMap[0x102].programId);
  EXPECT_STREQ("spa", f.mPacketIdMap[0x102].audioLanguage);
  EXPECT_STREQ("fre", f.mPacketIdMap[0x101].captionLanguage);
}

// ---- real captures through the packet loop ----

namespace {

Bytes ReadSample(const char* name) {
  return tsfix::ReadFileBytes(std::string(VYX_SAMPLES_DIR) + "/" + name);
}

// Feeds a capture in odd-sized buffers (so packets straddle buffers).
void FeedFile(TsFilter& f, Bytes& data, size_t chunk) {
  for (size_t pos = 0; pos < data.size(); pos += chunk) {
    size_t n = std::min(chunk, data.size() - pos);
    f.Filter(data.data() + pos, static_cast<int>(n));
  }
}

struct SampleRun : vyxtest::FilterFixture {
  Bytes data;
  explicit SampleRun(const char* name, size_t chunk = 1000) {
    data = ReadSample(name);
    f.FilterActive(true);
    FeedFile(f, data, chunk);
  }
};

}  // namespace

TEST(Samples, MediasetPatWithTwentyPrograms) {
  SampleRun r("dvbt-mediaset-psi-20prog.ts");
  ASSERT_EQ(18800u, r.data.size());
  EXPECT_EQ(20, r.tm.GetScalProgramDesc(0)->count);
  const uint16_t progs[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 71, 72, 101, 102, 103, 104, 105, 805, 899};
  int found = 0;
  for (uint16_t p : progs) found += FindProgram(r.tm, p) != nullptr;
  EXPECT_EQ(20, found);
  const ScalProgramDesc* p1 = FindProgram(r.tm, 1);
  ASSERT_NE(nullptr, p1);
  EXPECT_EQ(6000, p1->transportId);
  EXPECT_EQ(ePidTypePmt, r.f.mPacketIdMap[0x100].type);
  EXPECT_EQ(ePidTypePmt, r.f.mPacketIdMap[0x101].type);
  EXPECT_EQ(ePidTypeEs, r.f.mPacketIdMap[0x654].type);
  EXPECT_EQ(0x04, r.f.mPacketIdMap[0x655].streamType);
  EXPECT_EQ((std::vector<std::string>{"ita@655:0", "eng@656:0"}), Languages(r.tm, 1, Language::eAudio));
  EXPECT_EQ((std::vector<std::string>{"ita@64b:0", "eng@64c:0"}), Languages(r.tm, 2, Language::eAudio));
  EXPECT_EQ(0x02u, p1->videoType);
  EXPECT_EQ(0x04u, p1->audioType);
}

TEST(Samples, RaiMultiplexEightProgramsWithLanguages) {
  SampleRun r("dvbt-rai-mux-8prog.ts", 1316 * 3 + 5);
  ASSERT_FALSE(r.data.empty()) << "capture missing";
  EXPECT_EQ(8, r.tm.GetScalProgramDesc(0)->count);
  const ScalProgramDesc* p3401 = FindProgram(r.tm, 3401);
  ASSERT_NE(nullptr, p3401);
  EXPECT_EQ(18432, p3401->transportId);
  EXPECT_EQ((std::vector<std::string>{"ita@28a:0", "Oth@2b6:0", "eng@2bb:0"}),
            Languages(r.tm, 3401, Language::eAudio));
  std::vector<std::string> p3403 = Languages(r.tm, 3403, Language::eAudio);
  ASSERT_FALSE(p3403.empty());
  EXPECT_EQ("ITA@28c:0", p3403[0]);
  EXPECT_TRUE(Languages(r.tm, 3404, Language::eAudio).empty());
  EXPECT_EQ((std::vector<std::string>{"ita@2b2:0"}), Languages(r.tm, 3411, Language::eAudio));
  EXPECT_EQ(0x24, r.f.mPacketIdMap[0x1F4].streamType);
  EXPECT_EQ(3410, r.f.mPacketIdMap[0x1F4].programId);
  // Every packet counted but the last, which no packet follows.
  uint64_t total = 0;
  for (int pid = 0; pid < TsFilter::kPidCount; ++pid) total += r.f.mPacketIdMap[pid].count;
  EXPECT_EQ(20000u - 1u, total);
}

TEST(Samples, France2ThreeAudioLanguages) {
  SampleRun r("dvbt-france2-3lang.ts", 7 * 188 + 11);
  ASSERT_FALSE(r.data.empty()) << "capture missing";
  const ScalProgramDesc* p257 = FindProgram(r.tm, 257);
  ASSERT_NE(nullptr, p257);
  EXPECT_EQ(1, r.tm.GetScalProgramDesc(0)->count);
  EXPECT_EQ(ePidTypePmt, r.f.mPacketIdMap[0x6E].type);
  EXPECT_EQ(0x1B, r.f.mPacketIdMap[0x78].streamType);
  EXPECT_EQ((std::vector<std::string>{"fre@82:0", "qad@83:0", "qaa@84:0"}),
            Languages(r.tm, 257, Language::eAudio));
  EXPECT_EQ(0x1Bu, p257->videoType);
}

TEST(Samples, AtscCaptionsAndLanguages) {
  // Only three PMTs per program in this extract, cut by 500-byte buffers.
  SampleRun r("atsc-wnet13-psip.ts", 500);
  ASSERT_FALSE(r.data.empty()) << "capture missing";
  EXPECT_EQ(3, r.tm.GetScalProgramDesc(0)->count);
  EXPECT_EQ((std::vector<std::string>{"eng@34:0", "spa@35:0", "fre@36:0"}), Languages(r.tm, 3, Language::eAudio));
  EXPECT_EQ((std::vector<std::string>{"eng@41:1"}), Languages(r.tm, 4, Language::eCaption));
  EXPECT_EQ((std::vector<std::string>{"eng@51:1"}), Languages(r.tm, 5, Language::eCaption));
  EXPECT_STREQ("eng", r.f.mPacketIdMap[0x41].captionLanguage);
  const ScalProgramDesc* p3 = FindProgram(r.tm, 3);
  ASSERT_NE(nullptr, p3);
  EXPECT_EQ(0x81u, p3->audioType);
}

// The sections the collector delivered, per (table id, PID, section number).
std::map<std::string, uint32_t> DeliveredSections(const TsFilter& f) {
  std::map<std::string, uint32_t> out;
  const TableCollector* c = f.mpTableCollector;
  for (int i = 0; i < c->mTableCount; ++i) {
    const PsipSection* s = c->mTables[i];
    char key[32];
    snprintf(key, sizeof(key), "%02x/%04x/%d", s->mTableId, s->mPid, s->mSectionNo);
    out[key] = s->mGoodSections;
  }
  return out;
}

// However the player cuts the capture (buffers of 1 to 500 bytes), every
// packet is analysed whole: the collector delivers exactly the sections it
// delivers from one buffer, so every table, event and text is found.
TEST(Samples, WnetCaptureInBuffersOfOneTo500BytesFindsEveryTable) {
  SampleRun whole("atsc-wnet13-psip.ts", 1 << 20);
  ASSERT_FALSE(whole.data.empty()) << "capture missing";
  const std::map<std::string, uint32_t> want = DeliveredSections(whole.f);
  // PAT, three PMTs, MGT, TVCT and STT at least; the EIT and ETT PIDs too
  // once the MGT has named them.
  std::set<int> tables;
  for (const auto& e : want) tables.insert(std::stoi(e.first.substr(0, 2), nullptr, 16));
  for (int t : {0x00, 0x02, 0xC7, 0xC8, 0xCD}) EXPECT_EQ(1u, tables.count(t)) << std::hex << t;
  EXPECT_EQ(3, whole.tm.GetScalProgramDesc(0)->count);

  std::mt19937 rng(500);
  for (int round = 0; round < 40; ++round) {
    TunerManager tm('T');
    TsFilter f('T', &tm);
    f.FilterActive(true);
    Bytes data = whole.data;
    size_t most = round == 0 ? 1 : round == 1 ? 188 : round == 2 ? 500 : 1 + rng() % 500;
    for (size_t pos = 0; pos < data.size();) {
      size_t n = std::min(data.size() - pos, round < 3 ? most : 1 + rng() % most);
      f.Filter(data.data() + pos, static_cast<int>(n));
      pos += n;
    }
    ASSERT_EQ(want, DeliveredSections(f)) << "round " << round;
    ASSERT_EQ(3, tm.GetScalProgramDesc(0)->count) << "round " << round;
  }
}

TEST(Samples, NetworkPidAndScte35StreamType) {
  SampleRun r("hevc-uhd-scte35-pmt.ts", 4096);
  ASSERT_FALSE(r.data.empty()) << "capture missing";
  EXPECT_EQ(5, r.tm.GetScalProgramDesc(0)->count);
  EXPECT_EQ(ePidTypeNone, r.f.mPacketIdMap[0x10].type);
  EXPECT_EQ(ePidTypePmt, r.f.mPacketIdMap[0x41A].type);
  EXPECT_EQ(0x86, r.f.mPacketIdMap[0x81].streamType);
  EXPECT_EQ(0x0F, r.f.mPacketIdMap[0x7A].streamType);
  EXPECT_TRUE(Languages(r.tm, 3012, Language::eCaption).empty());
  EXPECT_EQ((std::vector<std::string>{"eng@7a:0"}), Languages(r.tm, 3012, Language::eAudio));
}
