// Files replaced as a whole: the helper every state file of the plug-in is
// written through, on a scratch directory (no remount involved).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "systemmanager.h"

namespace {

bool write_text(FILE* f, void* ctx) {
  const std::string* text = static_cast<const std::string*>(ctx);
  return fwrite(text->data(), 1, text->size(), f) == text->size();
}

// Writes half its text, then fails, as a full disk would.
bool write_half_then_fail(FILE* f, void* ctx) {
  const std::string* text = static_cast<const std::string*>(ctx);
  fwrite(text->data(), 1, text->size() / 2, f);
  return false;
}

std::string slurp(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return "<missing>";
  std::string s;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

struct AtomicWrite : ::testing::Test {
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/vyx-atomic-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }
  int Write(const std::string& name, std::string text, FileFiller fill = write_text) {
    return WriteFileAtomically((dir + "/" + name).c_str(), fill, &text);
  }
};

TEST_F(AtomicWrite, NewFileThenReplacementLeavesNoTemporaryFile) {
  ASSERT_EQ(0, Write("state", "first version, longer than the second"));
  EXPECT_EQ("first version, longer than the second", slurp(dir + "/state"));
  ASSERT_EQ(0, Write("state", "second"));
  EXPECT_EQ("second", slurp(dir + "/state"));
  EXPECT_EQ("<missing>", slurp(dir + "/state.tmp"));
}

TEST_F(AtomicWrite, FailedFillKeepsTheOldFileWhole) {
  ASSERT_EQ(0, Write("state", "old contents"));
  EXPECT_EQ(kWriteFileWriteFailed, Write("state", "new contents that never land", write_half_then_fail));
  EXPECT_EQ("old contents", slurp(dir + "/state"));
  EXPECT_EQ("<missing>", slurp(dir + "/state.tmp"));
}

TEST_F(AtomicWrite, MissingDirectoryAndRefusedRenameAreReported) {
  EXPECT_EQ(kWriteFileOpenFailed, Write("no-such-dir/state", "x"));
  // A directory in the file's place cannot be renamed over: it stays as it
  // was, and the temporary file goes.
  ASSERT_EQ(0, mkdir((dir + "/state").c_str(), 0755));
  ASSERT_EQ(0, Write("state/inside", "kept"));
  EXPECT_EQ(kWriteFileRenameFailed, Write("state", "replacement"));
  EXPECT_EQ("kept", slurp(dir + "/state/inside"));
  EXPECT_EQ("<missing>", slurp(dir + "/state.tmp"));
  // A path too long for the temporary name is refused before anything is made.
  EXPECT_EQ(kWriteFileOpenFailed, Write(std::string(600, 'a'), "x"));
}

// A file written in pieces: the old one stays whole until Publish, whether
// the new one is given up, dropped with its object, or cannot be renamed.
TEST_F(AtomicWrite, StagedFileLeavesTheOldFileUntilItIsPublished) {
  const std::string path = dir + "/archive";
  ASSERT_EQ(0, Write("archive", "old archive"));
  {
    StagedFile staged;
    ASSERT_EQ(0, staged.Open(path.c_str()));
    fputs("part one, ", staged.File());
    fflush(staged.File());
    EXPECT_EQ("part one, ", slurp(dir + "/archive.tmp"));
    EXPECT_EQ("old archive", slurp(path));
    staged.Abandon();
    EXPECT_EQ("<missing>", slurp(dir + "/archive.tmp"));
    // Finished but never published: the object's end removes it.
    ASSERT_EQ(0, staged.Open(path.c_str()));
    fputs("whole but unchecked", staged.File());
    ASSERT_EQ(0, staged.Finish());
    EXPECT_EQ("whole but unchecked", slurp(staged.TemporaryPath()));
  }
  EXPECT_EQ("<missing>", slurp(dir + "/archive.tmp"));
  EXPECT_EQ("old archive", slurp(path));
  StagedFile staged;
  ASSERT_EQ(0, staged.Open(path.c_str()));
  fputs("new archive", staged.File());
  ASSERT_EQ(0, staged.Finish());
  ASSERT_EQ(0, staged.Publish());
  EXPECT_EQ("new archive", slurp(path));
  EXPECT_EQ("<missing>", slurp(dir + "/archive.tmp"));
  EXPECT_FALSE(staged.Staged());
  // Nothing staged: nothing to publish, and the file stays.
  EXPECT_EQ(kWriteFileWriteFailed, staged.Publish());
  EXPECT_EQ("new archive", slurp(path));
}

}  // namespace
