// The PAT and PMT decoders on their own: a real multiplex's PAT and every
// PMT it names decoded whole and checked against each other, and sections
// whose loops run past them refused with the whole entries kept.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ts/psitables.h"
#include "tsfixture.h"

namespace {

using tsfix::Bytes;

int Size(const Bytes& b) { return static_cast<int>(b.size()); }

// The ISO 639 codes of the language descriptors (tag 0x0A) in a loop.
std::vector<std::string> Languages(const DescriptorLoop& loop) {
  std::vector<std::string> out;
  SectionReader r(loop.data, loop.length);
  while (r.Remaining() > 0) {
    int tag = r.U8();
    SectionReader body = r.Sub(r.U8());
    if (tag == 0x0A && body.Has(3)) out.push_back(std::string(reinterpret_cast<const char*>(body.Ptr()), 3));
  }
  return out;
}

}  // namespace

// The RAI multiplex: eight programs, each PMT on the PID its PAT entry names
// and about the same program; the PMT of 3401 lists three audio languages.
TEST(PsiDecode, RaiPatAndEveryPmtAgree) {
  Bytes ts = tsfix::ReadFileBytes(std::string(VYX_SAMPLES_DIR) + "/dvbt-rai-mux-8prog.ts");
  std::vector<Bytes> pats = tsfix::SectionsOf(ts, 0x0000, 0x00);
  ASSERT_EQ(1u, pats.size());
  PatSection pat;
  ASSERT_TRUE(DecodePat(pats[0].data(), Size(pats[0]), &pat));
  EXPECT_EQ(18432, pat.transportId);
  ASSERT_EQ(8, pat.count);
  int streams = 0;
  for (int i = 0; i < pat.count; ++i) {
    const PatEntry& e = pat.entries[i];
    SCOPED_TRACE(e.programNumber);
    std::vector<Bytes> pmts = tsfix::SectionsOf(ts, e.pid, 0x02);
    ASSERT_EQ(1u, pmts.size());
    PmtSection pmt;
    ASSERT_TRUE(DecodePmt(pmts[0].data(), Size(pmts[0]), &pmt));
    EXPECT_EQ(e.programNumber, pmt.programNumber);
    EXPECT_EQ(TableFault::eNone, pmt.fault.kind);
    streams += pmt.count;
    if (e.programNumber != 3401) continue;
    std::vector<std::string> audio;
    for (int k = 0; k < pmt.count; ++k)
      for (const std::string& l : Languages(pmt.streams[k].descriptors)) audio.push_back(l);
    EXPECT_EQ((std::vector<std::string>{"ita", "Oth", "eng"}), audio);
    EXPECT_EQ(0x28A, pmt.streams[1].pid);
  }
  EXPECT_GT(streams, 16);
}

TEST(PsiDecode, PmtLoopsCutInTheirHeaderOrDescriptors) {
  std::vector<tsfix::EsEntry> es = {{0x02, 0x101, {}},
                                    {0x81, 0x102, {tsfix::LanguageDescriptor({{"eng", 0}})}},
                                    {0x81, 0x103, {}}};
  Bytes whole = tsfix::MakePmt(4, 0x101, 0, es, {tsfix::LanguageDescriptor({{"deu", 0}})});
  PmtSection pmt;
  ASSERT_TRUE(DecodePmt(whole.data(), Size(whole), &pmt));
  ASSERT_EQ(3, pmt.count);
  EXPECT_EQ((std::vector<std::string>{"deu"}), Languages(pmt.programInfo));
  EXPECT_EQ((std::vector<std::string>{"eng"}), Languages(pmt.streams[1].descriptors));
  const uint16_t infoLength = pmt.programInfo.length;

  // Offsets: 12 header bytes, the program info, then 5 + ES_info per stream.
  const size_t info = 12 + pmt.programInfo.length;
  Bytes longEsInfo = whole;
  longEsInfo[info + 5 + 3] |= 0x0F;  // stream 2's ES_info_length past the loop
  EXPECT_FALSE(DecodePmt(longEsInfo.data(), Size(longEsInfo), &pmt));
  EXPECT_EQ(TableFault::eDescriptorsCut, pmt.fault.kind);
  EXPECT_EQ(2, pmt.fault.entry);
  EXPECT_EQ(1, pmt.count);
  EXPECT_EQ(infoLength, pmt.programInfo.length);  // decoded before the cut: the filter uses it

  Bytes longInfo = whole;
  longInfo[10] |= 0x0F;  // program_info_length past the section
  EXPECT_FALSE(DecodePmt(longInfo.data(), Size(longInfo), &pmt));
  EXPECT_EQ(TableFault::eDescriptorsCut, pmt.fault.kind);
  EXPECT_EQ(0, pmt.fault.entry);
  EXPECT_EQ(0, pmt.count);

  // Three bytes of a fourth entry before the CRC.
  Bytes cutEntry = whole;
  cutEntry.insert(cutEntry.end() - 4, {0x02, 0xE1, 0x04});
  cutEntry[2] = static_cast<uint8_t>(cutEntry[2] + 3);
  EXPECT_FALSE(DecodePmt(cutEntry.data(), Size(cutEntry), &pmt));
  EXPECT_EQ(TableFault::eEntryCut, pmt.fault.kind);
  EXPECT_EQ(4, pmt.fault.entry);
  EXPECT_EQ(3, pmt.count);

  EXPECT_FALSE(DecodePmt(whole.data(), Size(whole) - 1, &pmt));  // its section_length lies
  EXPECT_EQ(TableFault::eSectionLength, pmt.fault.kind);
}

TEST(PsiDecode, PatPieceOfAnEntryIsNoEntry) {
  Bytes pat = tsfix::MakePat(3, 0, {{4, 0x100}, {5, 0x200}});
  pat.insert(pat.end() - 4, {0x00, 0x07});
  pat[2] = static_cast<uint8_t>(pat[2] + 2);
  PatSection decoded;
  ASSERT_TRUE(DecodePat(pat.data(), Size(pat), &decoded));
  ASSERT_EQ(2, decoded.count);
  EXPECT_EQ(0x200, decoded.entries[1].pid);
  Bytes tiny = {0x00, 0xB0, 0x05, 0, 0, 0, 0, 0};
  EXPECT_FALSE(DecodePat(tiny.data(), Size(tiny), &decoded));
  EXPECT_EQ(TableFault::eSectionLength, decoded.fault.kind);
  EXPECT_EQ(5, decoded.fault.value);
}
