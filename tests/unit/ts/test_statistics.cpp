// Counters print and the system-time text.

#include <gtest/gtest.h>

#include <string>

#include "statistics.h"
#include "ts/time.h"
#include "utils.h"

TEST(Statistics, DumpFormatAndTableRates) {
  global_debug_flag = 0;
  Statistics* st = Statistics::Self();
  st->Reset();
  st->SetSignalStrength(3);
  st->AddOutBytes(1000);
  st->AddDroppedBytes(24);
  st->AddNoSync();
  st->AddGoodSections(0x02);
  st->AddDroppedSections(0xCB);
  st->AddGoodSections(255);  // out of the table: ignored
  st->mPatCounter = 20;
  st->mTodOrigin = Statistics::TodCount() - 2048;  // two seconds ago
  testing::internal::CaptureStdout();
  st->DumpStats();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("\n======== STATISTICS =========\n"));
  EXPECT_NE(std::string::npos, out.find("Signal Strength 3\n"));
  EXPECT_NE(std::string::npos, out.find("Total Tx-ed 1000\n"));
  EXPECT_NE(std::string::npos, out.find("Total Dr-ed 24\n"));
  EXPECT_NE(std::string::npos, out.find("Diff (bug if != 0) 4294966272\n"));  // 0 - 1000 - 24, unsigned
  EXPECT_NE(std::string::npos, out.find("No Sync 1\n"));
  size_t rate = out.find("Recent table frequency: PAT ");
  ASSERT_NE(std::string::npos, rate);
  double pats = atof(out.c_str() + rate + strlen("Recent table frequency: PAT "));
  EXPECT_GT(pats, 1.0);  // about 9.77 per second (less if this thread was held up)
  EXPECT_LE(pats, 9.77);
  EXPECT_NE(std::string::npos, out.find("=== sections ====\nSECTION 0x2: good 1, dropped 0\n"
                                        "SECTION 0xcb: good 0, dropped 1\n== end sections ==\n"));
  EXPECT_EQ(std::string::npos, out.find("SECTION 0xff"));
  // The next dump counts only PATs since this one.
  testing::internal::CaptureStdout();
  st->DumpStats();
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("PAT 0.000000/s"));
}

TEST(Time, MjdDateTimeText) {
  Time* t = Time::Self();
  t->SetTime(0, 0, 0);
  EXPECT_STREQ("acd4 0000", t->GetMjdDateTime(0, nullptr));
  char buf[32];
  // 2017-02-15 12:37 UTC as the WNET capture's STT gives it.
  t->SetTime(1171197444, 17, 0x6C02);
  EXPECT_STREQ("e1c7 1237", t->GetMjdDateTime(0, buf));
  EXPECT_EQ(17, t->mGpsUtcOffset);
  EXPECT_EQ(0x6C02, t->mDaylightSavings);
  EXPECT_STREQ("acd5 0100", t->GetMjdDateTime(86400 + 3600 + 17, buf));
}
