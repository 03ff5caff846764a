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

#include "private_ns.h"

namespace vyxtest {

inline bool private_ipc_enter() {
#ifdef VYX_PRIVATE_MOUNT
  return reexec_in_namespaces("VYX_PRIVATE_IPC", {"--ipc", "--mount"});
#else
  return reexec_in_namespaces("VYX_PRIVATE_IPC", {"--ipc"});
#endif
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
