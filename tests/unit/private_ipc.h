#ifndef VYX_TEST_PRIVATE_IPC_H
#define VYX_TEST_PRIVATE_IPC_H

// The device's System V keys (2000, 1240, 1689, 945602, 31561) are fixed, so
// tests that create those queues and segments must not meet another test (or
// a real process) using them.  Including this header re-executes the test
// program, before main, inside a private IPC namespace:
//   unshare --user --map-root-user --ipc <this program> <its arguments>
// When that is impossible (no unprivileged user namespaces) the program runs
// as is and private_ipc() is false: such tests skip themselves.
// Defining VYX_PRIVATE_MOUNT before the include also gives the program its own
// mount namespace, in which private_mnt() puts a scratch tmpfs over /mnt (the
// device's disks /mnt/hd1 and /mnt/hd4 live there).

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vyxtest {

inline bool private_ipc_enter() {
  const char* state = getenv("VYX_PRIVATE_IPC");
  if (state != nullptr) return strcmp(state, "1") == 0;

  // Can this host do it at all?  Probe with a child first, so a refusal ends
  // in a skip instead of a failed exec.
  pid_t probe = fork();
  if (probe == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
#ifdef VYX_PRIVATE_MOUNT
    execlp("unshare", "unshare", "--user", "--map-root-user", "--ipc", "--mount", "true", (char*)nullptr);
#else
    execlp("unshare", "unshare", "--user", "--map-root-user", "--ipc", "true", (char*)nullptr);
#endif
    _exit(127);
  }
  int status = 0;
  if (probe < 0 || waitpid(probe, &status, 0) != probe || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    setenv("VYX_PRIVATE_IPC", "0", 1);
    return false;
  }

  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) {
    setenv("VYX_PRIVATE_IPC", "0", 1);
    return false;
  }
  exe[n] = '\0';
  // Our own arguments, from /proc/self/cmdline (NUL-separated).
  std::vector<std::string> args;
  FILE* f = fopen("/proc/self/cmdline", "r");
  if (f != nullptr) {
    std::string cur;
    int c;
    while ((c = fgetc(f)) != EOF) {
      if (c == '\0') {
        args.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(static_cast<char>(c));
      }
    }
    fclose(f);
  }
  std::vector<char*> argv;
#ifdef VYX_PRIVATE_MOUNT
  static const char* prefix[] = {"unshare", "--user", "--map-root-user", "--ipc", "--mount", "--"};
#else
  static const char* prefix[] = {"unshare", "--user", "--map-root-user", "--ipc", "--"};
#endif
  for (const char* p : prefix) argv.push_back(const_cast<char*>(p));
  argv.push_back(exe);
  for (size_t i = 1; i < args.size(); i++) argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  setenv("VYX_PRIVATE_IPC", "1", 1);
  fflush(nullptr);
  execvp("unshare", argv.data());
  // Exec failed: run here without the namespace.
  setenv("VYX_PRIVATE_IPC", "0", 1);
  return false;
}

inline bool private_ipc() {
  static const bool inside = private_ipc_enter();
  return inside;
}

#ifdef VYX_PRIVATE_MOUNT
// A scratch /mnt with empty hd1 and hd4 directories, once per process.
inline bool private_mnt() {
  static const bool ready = [] {
    if (!private_ipc()) return false;
    if (mount("vyxtest", "/mnt", "tmpfs", 0, "mode=755") != 0) return false;
    return mkdir("/mnt/hd1", 0755) == 0 && mkdir("/mnt/hd4", 0755) == 0;
  }();
  return ready;
}
#endif

// Runs before main in every program that includes this header.
static const bool private_ipc_at_start = private_ipc();

}  // namespace vyxtest

#define REQUIRE_PRIVATE_IPC()                                                     \
  do {                                                                            \
    if (!vyxtest::private_ipc()) GTEST_SKIP() << "no private IPC namespace here"; \
  } while (0)

#ifdef VYX_PRIVATE_MOUNT
#define REQUIRE_PRIVATE_MNT()                                                    \
  do {                                                                           \
    if (!vyxtest::private_mnt()) GTEST_SKIP() << "no private mount namespace here"; \
  } while (0)
#endif

#endif
