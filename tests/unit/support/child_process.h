#ifndef VYX_TEST_CHILD_PROCESS_H
#define VYX_TEST_CHILD_PROCESS_H

// The programs of the build run as children to their end, for the tests of
// the launcher and the browser-control utility.

#include <string>
#include <vector>

namespace vyxtest {

// The build directory of this test program (which runs from <build>/tests).
std::string build_dir();

struct ChildRun {
  int status = -1;  // exit status, 128 + the signal that ended it, -1 when not started
  std::string out;
  std::string err;  // empty unless collected
};

struct ChildOptions {
  std::vector<std::string> env;  // "NAME=value", set over this environment
  const char* cwd = nullptr;     // a directory the child cannot enter ends it with 120
  bool collectErr = true;        // false: standard error stays this program's
};

// Runs `path` with `args` and waits for its end, its output collected
// (started through exec_program: under the emulator of a cross build where
// there is one).  A program that cannot be executed ends with 127.
ChildRun run_child(const std::string& path, const std::vector<std::string>& args,
                   const ChildOptions& options = ChildOptions());

}  // namespace vyxtest

#endif
