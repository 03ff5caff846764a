#ifndef VYX_FUZZ_SUPPORT_H
#define VYX_FUZZ_SUPPORT_H

// Shared pieces of the fuzz targets: a private world for the targets that
// drive whole command managers, a discarding datagram sink for streamers,
// and the split of one input into length-prefixed pieces.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "private_ns.h"
#include "tuner/tunermanager.h"

namespace vyxfuzz {

// The command targets use the device's fixed System V keys, write the
// device's disks and send datagrams to addresses taken from the input, so
// they run again inside their own user, IPC, mount and network namespaces
// (only `lo`, up), with a scratch tmpfs over /mnt holding hd1, hd4 and the
// working directory.  Where namespaces cannot be made the target ends with
// status 77 ("skipped"), before touching anything.
// `setup`: shell commands run in the new namespaces first (the network's
// links).
inline void enter_private_world(const char* setup = "ip link set lo up 2>/dev/null") {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string script = std::string(setup) + "; exec \"$0\" \"$@\"";
  if (!vyxtest::reexec_in_namespaces("VYX_FUZZ_WORLD", {"--ipc", "--mount", "--net"}, script.c_str())) {
    fprintf(stderr, "fuzz: no private namespaces here: skipped\n");
    exit(77);
  }
  if (mount("vyxfuzz", "/mnt", "tmpfs", 0, "mode=755") != 0 || mkdir("/mnt/hd1", 0755) != 0 ||
      mkdir("/mnt/hd4", 0755) != 0 || mkdir("/mnt/work", 0755) != 0 || chdir("/mnt/work") != 0) {
    perror("fuzz: scratch /mnt");
    exit(1);
  }
}

// The handlers' waits (remounts, tuning, stream starts, polls of the SNMP
// reply) pass SCALE times faster.  Most of such a target's time is spent in
// those short sleeps, which the kernel stretches by its timer slack (50 us
// by default): a slack of 1 ns keeps them as short as asked.  Before any
// thread starts, since threads inherit the slack.
inline void quick_waits(const char* scale) {
  setenv("VYX_TIME_SCALE", scale, 1);
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// Empties the working directory (files the commands named).
inline void clean_work_dir() {
  if (system("rm -rf /mnt/work/* /mnt/work/.[!.]* 2>/dev/null") != 0) {
  }
}

// Returns every scan-results record to the pool, as a device that starts
// from no results file: without it the records of earlier inputs pile up
// until the pool is exhausted and later inputs load or add nothing.
inline void clear_scan_results(TunerManager* tm) {
  pthread_mutex_lock(&tm->mMutex);
  for (int c = 0; c < TunerManager::kChannels; ++c) tm->ClearChannelList(&tm->mScalProgramDescriptors[c]);
  tm->mScalRestart = true;  // a listing starts over
  pthread_mutex_unlock(&tm->mMutex);
}

// A bound loopback UDP socket that is never read: datagrams sent to it are
// dropped once its buffer is full, as a group without listeners drops them.
class DiscardSink {
 public:
  DiscardSink() {
    mFd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int small = 4096;
    setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    if (mFd >= 0 && bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      mPort = ntohs(a.sin_port);
  }
  unsigned short Port() const { return mPort; }

 private:
  int mFd = -1;
  unsigned short mPort = 0;
};

// One input as pieces: a 16-bit little-endian length, then that many bytes
// (cut at the input's end), repeated.
inline std::vector<std::string> split_pieces(const uint8_t* data, size_t size, size_t limit = 64) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at + 2 <= size && out.size() < limit) {
    size_t n = data[at] | (static_cast<size_t>(data[at + 1]) << 8);
    at += 2;
    if (n > size - at) n = size - at;
    out.emplace_back(reinterpret_cast<const char*>(data + at), n);
    at += n;
  }
  return out;
}

// The inverse, for the seed writer.
inline std::string join_pieces(const std::vector<std::string>& pieces) {
  std::string out;
  for (const std::string& p : pieces) {
    size_t n = p.size() > 0xFFFF ? 0xFFFF : p.size();
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
    out.append(p, 0, n);
  }
  return out;
}

}  // namespace vyxfuzz

#endif
