// vyxstart: which player commands it runs for each command line.  The built
// launcher runs with a fake k720cmmd first on PATH that appends its arguments
// to a file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

struct Result {
  int status = -1;
  std::string err;
  std::vector<std::string> commands;
};

class Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = vyxtest::build_dir() + "/src/vyxstart/vyxstart";
    if (access(path_.c_str(), X_OK) != 0) GTEST_SKIP() << "vyxstart not built at " << path_;
    char tmpl[] = "/tmp/vyxstart-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream tool(dir_ + "/k720cmmd");
    tool << "#!/bin/sh\necho \"$*\" >> \"" << dir_ << "/log\"\n";
    tool.close();
    ASSERT_EQ(chmod((dir_ + "/k720cmmd").c_str(), 0755), 0);
  }
  void TearDown() override {
    if (!dir_.empty()) {
      unlink((dir_ + "/k720cmmd").c_str());
      unlink((dir_ + "/log").c_str());
      rmdir(dir_.c_str());
    }
  }

  Result Run(const std::vector<std::string>& args) {
    unlink((dir_ + "/log").c_str());
    Result r;
    vyxtest::ChildOptions options;
    options.env.push_back("PATH=" + dir_ + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    vyxtest::ChildRun run = vyxtest::run_child(path_, args, options);
    r.status = run.status;
    r.err = run.err;
    std::ifstream log(dir_ + "/log");
    for (std::string line; std::getline(log, line);) r.commands.push_back(line);
    return r;
  }

  std::string path_;
  std::string dir_;
};

const std::vector<std::string> kTransmitter = {"-stopall", "-vdbg 12"};
const std::vector<std::string> kReceiver = {"-vdbg 16 1"};

TEST_F(Launcher, TransmitterStopsAllBeforeTheDebugRequest) {
  Result r = Run({"T"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.commands, kTransmitter);
  EXPECT_NE(r.err.find("sending -vdbg 12 to transmitter to load VyxLib(T)\n"), std::string::npos);
  EXPECT_NE(r.err.find("Vyx main returning\n"), std::string::npos);
  // Only the first character counts.
  EXPECT_EQ(Run({"Tx"}).commands, kTransmitter);
}

TEST_F(Launcher, ReceiverAutodetectAndNoType) {
  for (const char* t : {"R", "A"}) {
    Result r = Run({t});
    EXPECT_EQ(r.status, 0) << t;
    EXPECT_EQ(r.commands, kReceiver) << t;
    EXPECT_NE(r.err.find("sending -vdbg 16 1 to transmitter to load VyxLib(R)\n"), std::string::npos);
  }
  // No type: as for A (the plug-in detects the role).
  Result r = Run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.commands, kReceiver);
}

TEST_F(Launcher, BadCommandLinesPrintUsageAndRunNothing) {
  for (auto args : std::vector<std::vector<std::string>>{{"X"}, {"T", "R"}, {""}, {"t"}}) {
    Result r = Run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.commands.empty());
    EXPECT_EQ(r.err, "Usage: " + path_ +
                         " [type]\nwhere type is T for transmitter and R for receiver, A for "
                         "autodetect.\nIf type is omitted, it will be autodetected\n");
  }
}

}  // namespace
