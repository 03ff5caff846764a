// The command line every stand-in shares (--help, --log, --hostdir, unknown
// options), each program's own refusals, and where the log goes.  Nothing is
// opened before the line is accepted.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "standins_support.h"

using namespace standins;

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::string Path(const char* name) {
  std::string path = program_path(name);
  EXPECT_TRUE(file_exists(path)) << "build the " << name << " target first";
  return path;
}

TEST(StandinCommandLine, HelpAndUnknownOptionsOfTheServers) {
  for (const char* name : {"snmpagent", "sysmgr", "browser", "mediaplayer", "serialend"}) {
    SCOPED_TRACE(name);
    std::string path = Path(name);
    std::string usage = "usage: " + path + " [options]\n";
    // --help wherever it stands after accepted options, with nothing else done.
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"-h"},
                                          {"--hostdir", "/nonexistent", "--log=/nonexistent/x", "-h"}}) {
      vyxtest::ChildRun r = vyxtest::run_child(path, args);
      EXPECT_EQ(0, r.status) << args.back();
      EXPECT_EQ(0u, r.out.find(usage)) << r.out;
      EXPECT_TRUE(Has(r.out, "  --log FILE")) << r.out;
      EXPECT_EQ("", r.err);
    }
    // An unknown option, or a common one without its value, ends the line
    // before a later --help.
    struct {
      std::vector<std::string> args;
      std::string bad;
    } refusals[] = {{{"--bogus", "--help"}, "--bogus"}, {{"-x"}, "-x"}, {{"--log"}, "--log"}};
    for (const auto& f : refusals) {
      vyxtest::ChildRun r = vyxtest::run_child(path, f.args);
      EXPECT_EQ(2, r.status) << f.bad;
      EXPECT_EQ(path + ": unknown option " + f.bad + "\n", r.err);
      EXPECT_EQ(0u, r.out.find(usage)) << r.out;
    }
  }
  // A program's own refusal is its own message and status.
  vyxtest::ChildRun r = vyxtest::run_child(Path("browser"), {"--status", "2147483648"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(Path("browser") + ": bad status 2147483648\n", r.err);
  EXPECT_EQ("", r.out);
}

TEST(StandinCommandLine, KeyToolRefusesBeforeItOpensItsLog) {
  std::string path = Path("k720ir");
  std::string dir = make_temp_dir();
  ASSERT_FALSE(dir.empty());
  vyxtest::ChildRun r = vyxtest::run_child(path, {"--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.out.find("usage: k720ir [--hold MS")) << r.out;
  EXPECT_EQ("", r.err);

  r = vyxtest::run_child(path, {"--list"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(Has(r.out, "MENU")) << r.out;

  struct Refusal {
    std::vector<std::string> args;
    std::string message;  // the start of standard error
  } refusals[] = {
      {{}, "usage: k720ir"},
      {{"--bogus", "MENU"}, "k720ir: unknown option --bogus\nusage: k720ir"},
      {{"--log"}, "k720ir: unknown option --log\nusage: k720ir"},
      {{"NOSUCHKEY"}, "k720ir: no key 'NOSUCHKEY' (k720ir --list)\n"},
      {{"--hold", "soon", "MENU"}, "usage: k720ir"},
      {{"--presses", "0", "MENU"}, "usage: k720ir"},
  };
  for (const Refusal& f : refusals) {
    std::vector<std::string> args = {"--hostdir", dir};
    args.insert(args.end(), f.args.begin(), f.args.end());
    r = vyxtest::run_child(path, args);
    EXPECT_EQ(2, r.status) << args.back();
    EXPECT_EQ(0u, r.err.find(f.message)) << r.err;
    EXPECT_EQ("", r.out);
  }
  EXPECT_FALSE(file_exists(dir + "/ir.jsonl"));
  remove_tree(dir);
}

TEST(StandinCommandLine, LogAtTheOptionElseInTheHostDirectory) {
  REQUIRE_STANDIN_NAMESPACES();
  std::string dir = make_temp_dir();
  ASSERT_FALSE(dir.empty());
  std::string own = dir + "/own.jsonl";
  for (bool option : {true, false}) {
    SCOPED_TRACE(option ? "--log" : "host directory");
    std::string log = option ? own : dir + "/sysmgr.jsonl";
    std::vector<std::string> args = {"--hostdir", dir, "--no-mount"};
    if (option) args.push_back("--log=" + own);
    Child c;
    ASSERT_TRUE(c.Start(Path("sysmgr"), args));
    ASSERT_TRUE(wait_event(log, "start"));
    // SIGTERM ends it cleanly: its stop line, status 0.
    int status = c.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(1u, events(log, "stop").size());
    EXPECT_EQ(option, !file_exists(dir + "/sysmgr.jsonl"));
  }
  remove_tree(dir);
}

}  // namespace
