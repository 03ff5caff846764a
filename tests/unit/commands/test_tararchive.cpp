// The upgrade archive's check on files: the size field in its base-256 form
// (large members), and the faults told when the file or the caller's buffer
// is missing.  The octal form and damaged archives are covered through the
// upgrade command (test_status_upgrade.cpp).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands/tararchive.h"

namespace {

// A one-member ustar archive whose size field is `sizeField` (12 bytes),
// with `body` as the member's data and the checksum made right.
std::string Tar(const std::string& sizeField, const std::string& body) {
  std::string h(512, '\0');
  auto put = [&h](size_t at, const std::string& text) { h.replace(at, text.size(), text); };
  put(0, "rootfs.img");
  put(100, "0000644");
  put(124, sizeField);
  h[156] = '0';
  put(257, std::string("ustar\0" "00", 8));
  put(148, "        ");
  unsigned sum = 0;
  for (char c : h) sum += static_cast<unsigned char>(c);
  char octal[8];
  snprintf(octal, sizeof(octal), "%06o", sum);
  put(148, std::string(octal, 7));
  return h + body + std::string((512 - body.size() % 512) % 512, '\0') + std::string(1024, '\0');
}

// The base-256 form: the first byte's top bit set, then its low six bits
// and the other eleven bytes big-endian (`value` in the last eight).
std::string Base256(unsigned char first, unsigned long long value) {
  std::string f(12, '\0');
  f[0] = static_cast<char>(first);
  for (int i = 11; i >= 4; --i, value >>= 8) f[i] = static_cast<char>(value & 0xFF);
  return f;
}

class TarArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vyx-tar-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    mDir = tmpl;
    mPath = mDir + "/multiple.tar";
  }
  void TearDown() override {
    unlink(mPath.c_str());
    rmdir(mDir.c_str());
  }
  // The check's verdict on `archive` written to the file, and its reason.
  bool Check(const std::string& archive, std::string* why) {
    FILE* f = fopen(mPath.c_str(), "wb");
    if (f == nullptr) return false;
    fwrite(archive.data(), 1, archive.size(), f);
    fclose(f);
    char text[96] = "unset";
    bool ok = tar_archive_complete(mPath.c_str(), text, sizeof(text));
    *why = text;
    return ok;
  }
  std::string mDir;
  std::string mPath;
};

TEST_F(TarArchive, Base256SizeIsReadAsTheMembersSize) {
  const std::string body(700, 'b');
  std::string why;
  EXPECT_TRUE(Check(Tar(Base256(0x80, 700), body), &why)) << why;
  EXPECT_EQ(why, "");
  // The same size in octal gives the same verdict.
  EXPECT_TRUE(Check(Tar("00000001274", body), &why)) << why;
  // One block larger: the member takes the first end block.
  EXPECT_FALSE(Check(Tar(Base256(0x80, 700 + 512), body), &why));
  EXPECT_EQ(why, "only one end-of-archive block");
  // Larger than what follows its header: the member runs past the end.
  EXPECT_FALSE(Check(Tar(Base256(0x80, 700 + 2048), body), &why));
  EXPECT_EQ(why, "member at byte 0 runs past the end");
  // A terabyte: far past any file.
  EXPECT_FALSE(Check(Tar(Base256(0x80, 1ULL << 40), body), &why));
  EXPECT_EQ(why, "member at byte 0 runs past the end");
}

TEST_F(TarArchive, NegativeOrOverflowingBase256SizeIsRefused) {
  const std::string body(600, 'n');
  std::string why;
  EXPECT_FALSE(Check(Tar(Base256(0xC0, 600), body), &why));  // the sign bit
  EXPECT_EQ(why, "bad size field at byte 0");
  // 2^63 and more does not fit the count of bytes the walk keeps.
  EXPECT_FALSE(Check(Tar(Base256(0x81, 0), body), &why));
  EXPECT_EQ(why, "bad size field at byte 0");
  EXPECT_FALSE(Check(Tar(std::string(1, '\xBF') + std::string(11, '\xFF'), body), &why));
  EXPECT_EQ(why, "bad size field at byte 0");
  EXPECT_FALSE(Check(Tar("12x45", body), &why));
  EXPECT_EQ(why, "bad size field at byte 0");
}

TEST_F(TarArchive, MissingFileAndNoReasonBuffer) {
  char why[96] = "unset";
  EXPECT_FALSE(tar_archive_complete(mPath.c_str(), why, sizeof(why)));
  EXPECT_STREQ(why, "cannot open the archive");
  // Without a buffer for the reason the verdict is still given.
  std::string ignored;
  ASSERT_TRUE(Check(Tar(Base256(0x80, 10), std::string(10, 'x')), &ignored));
  EXPECT_TRUE(tar_archive_complete(mPath.c_str(), nullptr, 0));
  ASSERT_FALSE(Check(Tar(Base256(0xC0, 10), std::string(10, 'x')), &ignored));
  EXPECT_FALSE(tar_archive_complete(mPath.c_str(), nullptr, 0));
}

}  // namespace
