// CRC-32 and section reassembly.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ts/crc32.h"
#include "filter_fixture.h"
#include "ts/tablecollector.h"

using tsfix::Bytes;

namespace {

unsigned int LibCrc(const Bytes& b) { return crc32(const_cast<unsigned char*>(b.data()), b.size()); }

// Feeds a payload to the collector; returns the delivered section (copied) or
// an empty vector.
struct Feed {
  TableCollector& tc;
  int lastTable = -1;
  Bytes operator()(uint16_t pid, const Bytes& payload, bool start, uint8_t cc) {
    int t = -2;
    unsigned char* s = tc.CollectPsipSection(pid, const_cast<unsigned char*>(payload.data()),
                                             static_cast<int>(payload.size()), start, cc, &t);
    lastTable = t;
    if (s == nullptr) {
      EXPECT_EQ(-1, t);
      return {};
    }
    int total = (((s[1] & 0x0F) << 8) | s[2]) + 3;
    return Bytes(s, s + total);
  }
};

Bytes Slice(const Bytes& b, size_t from, size_t len) {
  if (from >= b.size()) return {};
  size_t n = std::min(len, b.size() - from);
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

PsipSection* StateFor(TableCollector& tc, int table, int pid, int sectionNo = 0) {
  for (int i = 0; i < tc.mTableCount; ++i)
    if (tc.mTables[i]->mTableId == table && tc.mTables[i]->mPid == pid &&
        tc.mTables[i]->mSectionNo == sectionNo)
      return tc.mTables[i];
  return nullptr;
}

// A long-form section of exactly `total` bytes (CRC included).
Bytes SectionOfTotal(uint8_t table, int total, uint8_t version = 1) {
  Bytes body(static_cast<size_t>(total - 12), 0x5A);
  Bytes s = tsfix::MakeSection(table, 0x1234, version, true, 0, 0, body);
  EXPECT_EQ(static_cast<size_t>(total), s.size());
  return s;
}

}  // namespace

TEST(Crc32, KnownVectorsAndAgreementWithBitwiseReference) {
  EXPECT_EQ(0x9B73448Cu, LibCrc(Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(0x0376E6E7u, LibCrc(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}));
  EXPECT_EQ(0xFFFFFFFFu, crc32(nullptr, 0));
  std::mt19937 rng(7);
  for (int n = 1; n < 600; n += 37) {
    Bytes b(static_cast<size_t>(n));
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    EXPECT_EQ(tsfix::Crc32(b.data(), b.size()), LibCrc(b)) << n;
  }
  // A whole section, CRC included, checks to zero.
  Bytes pat = tsfix::MakePat(1, 0, {{1, 0x100}});
  EXPECT_EQ(0u, LibCrc(pat));
}

TEST(TableCollector, ThreePacketSectionDeliveredOnceOnTheThird) {
  TableCollector tc;
  Feed feed{tc};
  Bytes sec = SectionOfTotal(0x02, 500);
  // The PID counters start at 0, so the first packet must carry 1.
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 184), true, 1).empty());
  EXPECT_TRUE(feed(0x100, Slice(sec, 184, 184), false, 2).empty());
  Bytes out = feed(0x100, Slice(sec, 368, 184), false, 3);
  EXPECT_EQ(sec, out);
  EXPECT_EQ(0x02, feed.lastTable);
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mGoodSections);
  EXPECT_EQ(0, st->mRemainingSectionLen);
  // A further continuation has nothing to belong to.
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 184), false, 4).empty());
  EXPECT_EQ(1u, tc.mOrphanContinuations);
}

TEST(TableCollector, FirstSectionOnAFreshPidIsAcceptedWhateverItsCounter) {
  TableCollector tc;
  Feed feed{tc};
  Bytes pat = tsfix::MakePat(1, 0, {{1, 0x100}});
  // The first packet of a PID sets its counter; only later ones can miss one.
  EXPECT_EQ(pat, feed(0x20, pat, true, 7));
  EXPECT_EQ(pat, feed(0x21, pat, true, 0));
  EXPECT_EQ(pat, feed(0x20, pat, true, 8));
  // A gap before a section start loses nothing of the section: it starts
  // after the gap (nothing was in progress, so nothing is counted lost).
  EXPECT_EQ(pat, feed(0x20, pat, true, 10));
  PsipSection* st = StateFor(tc, 0x00, 0x20);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(0u, st->mDroppedSectionsContinuity);
  EXPECT_EQ(3u, st->mGoodSections);
  // A state used on its own starts the same way.
  PsipSection alone(PsipSection::kSmallBuffer);
  int table = -1;
  EXPECT_NE(nullptr, alone.CollectPsipSection(0x30, pat.data(), static_cast<int>(pat.size()), true, 5, &table));
  EXPECT_EQ(0x00, table);
}

// A retune resets the collector made at start-up: every table and counter
// is forgotten and the pools serve again, with nothing allocated.
TEST(TableCollector, ResetForgetsTablesAndCountersAndRefillsThePools) {
  TableCollector tc;
  Feed feed{tc};
  Bytes sec = SectionOfTotal(0x02, 100);
  for (int i = 0; i < TableCollector::kSmallStates; ++i)
    ASSERT_EQ(sec, feed(static_cast<uint16_t>(0x100 + i), sec, true, 3)) << i;
  EXPECT_TRUE(feed(0x1000, sec, true, 0).empty());  // the pool is used up
  EXPECT_EQ(1u, tc.mStatesDropped);
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 50), true, 9).empty());  // a gap: dropped
  tc.Reset();
  EXPECT_EQ(0, tc.mTableCount);
  EXPECT_EQ(0u, tc.mStatesDropped);
  // The counter of PID 0x100 is unknown again, and the pool serves new PIDs.
  EXPECT_EQ(sec, feed(0x100, sec, true, 9));
  EXPECT_EQ(sec, feed(0x1000, sec, true, 0));
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mGoodSections);
  EXPECT_EQ(0u, st->mDroppedSectionsContinuity);
  EXPECT_EQ(2, tc.mTableCount);
}

TEST(TableCollector, ContinuityGapAbandonsSectionAndNextStartIsCollected) {
  TableCollector tc;
  Feed feed{tc};
  Bytes sec = SectionOfTotal(0x02, 300);
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 184), true, 1).empty());
  EXPECT_TRUE(feed(0x100, Slice(sec, 184, 184), false, 3).empty());  // 2 is missing
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mDroppedSectionsContinuity);
  EXPECT_EQ(0, st->mRemainingSectionLen);
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 184), true, 4).empty());
  EXPECT_EQ(sec, feed(0x100, Slice(sec, 184, 184), false, 5));
  // The second call for the same packet (high nibble F) does not advance.
  EXPECT_EQ(5, tc.continuityPerPid[0x100]);
}

// A gap (lost packets, or a looped capture) cuts the section in progress;
// the section that starts in the packet after it is whole and is collected,
// and its continuations go to it, not to the section that was cut, even when
// that one is another state of the PID (another section number).
TEST(TableCollector, GapCutsTheOpenSectionAndTheNextStartIsCollected) {
  TableCollector tc;
  Feed feed{tc};
  Bytes cut = tsfix::MakeSection(0xCB, 11, 0, true, 0, 1, Bytes(400, 0x11));
  Bytes next = tsfix::MakeSection(0xCB, 11, 0, true, 1, 1, Bytes(300, 0x22));
  EXPECT_TRUE(feed(0x1D00, Slice(cut, 0, 184), true, 1).empty());
  EXPECT_TRUE(feed(0x1D00, Slice(cut, 184, 184), false, 2).empty());
  // Counter 3 and the end of `cut` lost: `next` starts at counter 5.
  EXPECT_TRUE(feed(0x1D00, Slice(next, 0, 184), true, 5).empty());
  EXPECT_EQ(next, feed(0x1D00, Slice(next, 184, 184), false, 6));
  PsipSection* a = StateFor(tc, 0xCB, 0x1D00, 0);
  PsipSection* b = StateFor(tc, 0xCB, 0x1D00, 1);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(1u, a->mDroppedSectionsContinuity);
  EXPECT_EQ(0, a->mRemainingSectionLen);
  EXPECT_EQ(0u, a->mGoodSections);
  EXPECT_EQ(0u, b->mDroppedSectionsContinuity);
  EXPECT_EQ(1u, b->mGoodSections);
  // The same with the section cut in the same state: the new one replaces it.
  EXPECT_TRUE(feed(0x1D00, Slice(next, 0, 184), true, 7).empty());
  EXPECT_TRUE(feed(0x1D00, Slice(next, 0, 184), true, 9).empty());
  EXPECT_EQ(next, feed(0x1D00, Slice(next, 184, 184), false, 10));
  EXPECT_EQ(1u, b->mDroppedSectionsContinuity);
  EXPECT_EQ(2u, b->mGoodSections);
}

// A section whose header the packet's end cuts (sections packed back to
// back can start in a packet's last bytes) is held and joined with the
// PID's next packet; not when a packet was lost in between, nor when the
// next packet starts a section of its own.
TEST(TableCollector, HeaderCutByThePacketEndIsJoinedWithTheNextPacket) {
  TableCollector tc;
  Feed feed{tc};
  Bytes sec = SectionOfTotal(0x02, 150);
  for (size_t cut = 1; cut < TableCollector::kHeaderBytes; ++cut) {
    SCOPED_TRACE(cut);
    uint8_t cc = static_cast<uint8_t>(2 * cut);
    EXPECT_TRUE(feed(0x100, Slice(sec, 0, cut), true, cc).empty());
    EXPECT_EQ(sec, feed(0x100, Slice(sec, cut, 184), false, static_cast<uint8_t>((cc + 1) & 0x0F)));
  }
  EXPECT_EQ(6u, tc.mShortStarts);
  EXPECT_EQ(0u, tc.mHeldStartsLost);
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 4), true, 1).empty());
  EXPECT_TRUE(feed(0x100, Slice(sec, 4, 184), false, 3).empty());  // 2 is missing
  EXPECT_TRUE(feed(0x100, Slice(sec, 0, 4), true, 4).empty());
  EXPECT_EQ(sec, feed(0x100, sec, true, 5));
  EXPECT_EQ(2u, tc.mHeldStartsLost);
  // Stuffing is never held.
  EXPECT_TRUE(feed(0x100, Bytes{0xFF, 0xFF}, true, 6).empty());
  EXPECT_TRUE(feed(0x100, Slice(sec, 2, 184), false, 7).empty());
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(7u, st->mGoodSections);
}

TEST(TableCollector, ContinuationBeforeStartIsDropped) {
  TableCollector tc;
  Feed feed{tc};
  Bytes sec = SectionOfTotal(0x02, 100);
  EXPECT_TRUE(feed(0x100, Slice(sec, 10, 50), false, 1).empty());
  EXPECT_EQ(1u, tc.mOrphanContinuations);
  EXPECT_EQ(0, tc.mTableCount);
  // The orphan advanced the counter: the following start is no gap.
  EXPECT_EQ(sec, feed(0x100, sec, true, 2));
}

TEST(TableCollector, SizeLimitsByTable) {
  TableCollector tc;
  Feed feed{tc};
  // PMT: 1024 bytes accepted, 1025 refused.
  Bytes ok = SectionOfTotal(0x02, 1024);
  Bytes big = SectionOfTotal(0x02, 1025);
  uint8_t cc = 1;
  auto deliver = [&](uint16_t pid, const Bytes& s) {
    Bytes out;
    for (size_t pos = 0; pos < s.size(); pos += 184) {
      out = feed(pid, Slice(s, pos, 184), pos == 0, cc);
      cc = static_cast<uint8_t>((cc + 1) & 0x0F);
    }
    return out;
  };
  EXPECT_EQ(ok, deliver(0x100, ok));
  cc = 1;
  EXPECT_TRUE(deliver(0x101, big).empty());
  PsipSection* st = StateFor(tc, 0x02, 0x101);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mDroppedSectionsOther);
  EXPECT_EQ(PsipSection::kSmallBuffer, st->mBufferSize);
  // EIT: 4096 accepted, 4097 refused.
  Bytes eit = SectionOfTotal(0xCB, 4096);
  Bytes eitBig = SectionOfTotal(0xCB, 4097);
  cc = 1;
  EXPECT_EQ(eit, deliver(0x1D00, eit));
  cc = 1;
  EXPECT_TRUE(deliver(0x1D01, eitBig).empty());
  st = StateFor(tc, 0xCB, 0x1D01);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mDroppedSectionsOther);
  EXPECT_EQ(PsipSection::kLargeBuffer, st->mBufferSize);
}

TEST(TableCollector, CrcDropsThenWaiverAfterFive) {
  TableCollector tc;
  Feed feed{tc};
  Bytes sec = tsfix::MakePmt(1, 0x101, 0, {{0x02, 0x101, {}}});
  Bytes bad = sec;
  bad[bad.size() - 1] ^= 0xFF;
  uint8_t cc = 1;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(feed(0x100, bad, true, cc++).empty()) << i;
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(5u, st->mDroppedSectionsCrc);
  EXPECT_EQ(bad, feed(0x100, bad, true, cc++));  // waived: nothing delivered yet
  EXPECT_EQ(1u, st->mGoodSections);
  // Once something was delivered, bad CRCs are dropped again.
  EXPECT_TRUE(feed(0x100, bad, true, cc++).empty());
  // The waiver applies only when the section completes in the start call.
  TableCollector tc2;
  Feed feed2{tc2};
  Bytes big = SectionOfTotal(0x02, 400);
  big[big.size() - 1] ^= 0xFF;
  cc = 1;
  for (int i = 0; i < 7; ++i) {
    EXPECT_TRUE(feed2(0x200, Slice(big, 0, 184), true, cc++).empty());
    EXPECT_TRUE(feed2(0x200, Slice(big, 184, 184), false, cc++).empty());
    EXPECT_TRUE(feed2(0x200, Slice(big, 368, 184), false, cc++).empty()) << i;
    cc &= 0x0F;
  }
}

TEST(TableCollector, CurrentNextZeroAndVersions) {
  TableCollector tc;
  Feed feed{tc};
  Bytes future = tsfix::MakePmt(1, 0x101, 3, {{0x02, 0x101, {}}}, {}, false);
  EXPECT_TRUE(feed(0x100, future, true, 1).empty());
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mDroppedSectionsFuture);
  EXPECT_EQ(1, st->mCurNextCounter);
  // On PID 0 a "next" PAT is delivered anyway.
  Bytes patNext = tsfix::MakePat(1, 0, {{1, 0x100}}, false);
  EXPECT_EQ(patNext, feed(0, patNext, true, 1));
  // Same version delivered again; a change resets the counters.
  Bytes v3 = tsfix::MakePmt(1, 0x101, 3, {{0x02, 0x101, {}}});
  Bytes v4 = tsfix::MakePmt(1, 0x101, 4, {{0x02, 0x101, {}}});
  EXPECT_EQ(v3, feed(0x100, v3, true, 2));
  EXPECT_EQ(v3, feed(0x100, v3, true, 3));
  EXPECT_EQ(1, st->mVersionCounter);
  EXPECT_EQ(2u, st->mGoodSections);
  EXPECT_EQ(v4, feed(0x100, v4, true, 4));
  EXPECT_EQ(1u, st->mVersionChanges);
  EXPECT_EQ(1u, st->mGoodSections);
  EXPECT_EQ(0u, st->mDroppedSectionsFuture);
  EXPECT_EQ(4, st->mVersion);
}

TEST(TableCollector, SamePatDeliveredEveryTime) {
  TableCollector tc;
  Feed feed{tc};
  Bytes pat = tsfix::MakePat(7, 2, {{1, 0x100}, {2, 0x200}});
  for (uint8_t cc = 1; cc < 20; ++cc) EXPECT_EQ(pat, feed(0, pat, true, cc & 0x0F)) << int(cc);
}

TEST(TableCollector, MgtMakesNextEitAndEttReparse) {
  TableCollector tc;
  Feed feed{tc};
  Bytes eit = tsfix::MakeSection(0xCB, 1, 5, true, 0, 0, Bytes(20, 1));
  Bytes ett = tsfix::MakeSection(0xCC, 1, 5, true, 0, 0, Bytes(20, 2));
  Bytes mgt = tsfix::MakeSection(0xC7, 0, 1, true, 0, 0, Bytes(10, 3));
  EXPECT_FALSE(feed(0x1D00, eit, true, 1).empty());
  EXPECT_FALSE(feed(0x1D00, eit, true, 2).empty());
  EXPECT_FALSE(feed(0x1E00, ett, true, 1).empty());
  PsipSection* se = StateFor(tc, 0xCB, 0x1D00);
  ASSERT_NE(nullptr, se);
  EXPECT_EQ(1, se->mVersionCounter);  // second EIT: same version
  EXPECT_FALSE(feed(0x1FFB, mgt, true, 1).empty());
  EXPECT_TRUE(tc.mReparseEit);
  EXPECT_TRUE(tc.mReparseEtt);
  EXPECT_FALSE(feed(0x1D00, eit, true, 3).empty());
  EXPECT_FALSE(tc.mReparseEit);
  EXPECT_TRUE(tc.mReparseEtt);
  EXPECT_EQ(1, se->mVersionCounter);  // delivered as new, not as "same"
  EXPECT_EQ(0u, se->mVersionChanges);
  EXPECT_FALSE(feed(0x1E00, ett, true, 2).empty());
  EXPECT_FALSE(tc.mReparseEtt);
}

TEST(TableCollector, HostileStartsAndPoolExhaustion) {
  TableCollector tc;
  Feed feed{tc};
  // Header cut by the packet end: dropped, counted, continuity kept.
  EXPECT_TRUE(feed(0x100, Bytes{0x02, 0xB0}, true, 1).empty());
  EXPECT_EQ(1u, tc.mShortStarts);
  EXPECT_EQ(0, tc.mTableCount);
  // Stuffing is no section.
  EXPECT_TRUE(feed(0x100, Bytes(50, 0xFF), true, 2).empty());
  EXPECT_EQ(0, tc.mTableCount);
  // section_length 0: too short to hold a CRC.
  EXPECT_TRUE(feed(0x100, Bytes{0x02, 0xB0, 0x00, 0, 0, 0xC1, 0, 0}, true, 3).empty());
  PsipSection* st = StateFor(tc, 0x02, 0x100);
  ASSERT_NE(nullptr, st);
  EXPECT_EQ(1u, st->mDroppedSectionsOther);
  // The next good section on the PID goes through.
  Bytes pmt = tsfix::MakePmt(1, 0x101, 0, {{0x02, 0x101, {}}});
  EXPECT_EQ(pmt, feed(0x100, pmt, true, 4));

  // Every small state in use: a new (table, PID, section) is refused.
  TableCollector full;
  Feed f2{full};
  Bytes sec = tsfix::MakePmt(1, 0x101, 0, {{0x02, 0x101, {}}});
  for (int i = 0; i < TableCollector::kSmallStates; ++i) f2(static_cast<uint16_t>(0x100 + i), sec, true, 1);
  EXPECT_EQ(TableCollector::kSmallStates, full.mTableCount);
  EXPECT_EQ(0u, full.mStatesDropped);
  EXPECT_TRUE(f2(0x1000, sec, true, 1).empty());
  EXPECT_EQ(1u, full.mStatesDropped);
  // Large tables still have their own pool.
  Bytes eit = tsfix::MakeSection(0xCB, 1, 0, true, 0, 0, Bytes(20, 1));
  EXPECT_FALSE(f2(0x1D00, eit, true, 1).empty());
}

TEST(TableCollector, RandomPayloadsNeverOverrun) {
  std::mt19937 rng(12345);
  TableCollector tc;
  for (int i = 0; i < 20000; ++i) {
    size_t len = rng() % 185;
    Bytes b(len);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    if (len > 0 && rng() % 3 == 0) b[0] = static_cast<uint8_t>(rng() % 3 == 0 ? 0xCB : 0x02);
    int t;
    unsigned char* s = tc.CollectPsipSection(static_cast<uint16_t>(rng() % 8), b.data(),
                                             static_cast<int>(len), rng() % 2 == 0,
                                             static_cast<uint8_t>(rng()), &t);
    if (s != nullptr) {
      int total = (((s[1] & 0x0F) << 8) | s[2]) + 3;
      EXPECT_LE(total, PsipSection::kLargeBuffer - 16);
    }
  }
}
