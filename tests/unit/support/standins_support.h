#ifndef VYX_TEST_STANDINS_SUPPORT_H
#define VYX_TEST_STANDINS_SUPPORT_H

// Support for the tests of the stand-in processes (platform/): they run the
// real programs as children and talk to them over the device's fixed System V
// keys, so each test program re-executes itself, before main, in private
// namespaces:
//   unshare --user --map-root-user --ipc --mount --net <program> <arguments>
// (IPC: the keys; mount: a scratch /mnt for real remounts; net: a private
// loopback for stream reception).  Where that is impossible the tests skip.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "private_ns.h"

extern char** environ;

namespace standins {

inline bool enter_namespaces() {
  return vyxtest::reexec_in_namespaces("VYX_STANDINS_NS", {"--ipc", "--mount", "--net"});
}

inline bool in_namespaces() {
  static const bool inside = [] {
    if (!enter_namespaces()) return false;
    // The private network has a loopback that starts down.
    if (system("ip link set lo up >/dev/null 2>&1") != 0) fprintf(stderr, "cannot bring lo up\n");
    return true;
  }();
  return inside;
}

static const bool namespaces_at_start = in_namespaces();

#define REQUIRE_STANDIN_NAMESPACES()                                                     \
  do {                                                                                   \
    if (!standins::in_namespaces()) GTEST_SKIP() << "no private namespaces on this host"; \
  } while (0)

// --- paths and files ----------------------------------------------------------
using vyxtest::build_dir;

inline std::string program_path(const char* name) {
  return build_dir() + "/platform/standins/" + name + "/" + name;
}

inline std::string fake_plugin_path() { return build_dir() + "/platform/standins/mediaplayer/libvyxfake.so"; }

inline bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline std::string read_file(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

inline void write_file(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

inline std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/standins.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return std::string();
  return std::string(buf.data());
}

inline void remove_tree(const std::string& dir) {
  if (dir.size() > 5) system(("rm -rf '" + dir + "'").c_str());
}

inline void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// How long a test waits for a stand-in to do what it was asked.  The polls end
// as soon as the thing happens, so a generous deadline costs nothing on an
// idle machine and holds on a loaded one (sanitizer builds, many parallel
// jobs on two cores).
constexpr double kDeadline = 30.0;

// Polls `cond` every 10 ms until it holds or `seconds` pass.
inline bool wait_for(const std::function<bool()>& cond, double seconds = kDeadline) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (cond()) return true;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
    if (elapsed > seconds) return false;
    sleep_ms(10);
  }
}

// --- JSON lines ---------------------------------------------------------------
inline std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = read_file(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // an unfinished line is not a line yet
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Raw value of "key" in a flat JSON object line: strings are unescaped
// (\uXXXX below 0x100 becomes that byte), numbers and literals returned as
// written.  "" with *found false when absent.
inline std::string json_get(const std::string& line, const std::string& key, bool* found = nullptr) {
  std::string pat = "\"" + key + "\":";
  size_t p = line.find(pat);
  if (found != nullptr) *found = p != std::string::npos;
  if (p == std::string::npos) return std::string();
  p += pat.size();
  std::string out;
  if (p < line.size() && line[p] == '"') {
    for (p++; p < line.size() && line[p] != '"'; p++) {
      if (line[p] == '\\' && p + 1 < line.size()) {
        char e = line[++p];
        if (e == 'n') out += '\n';
        else if (e == 'r') out += '\r';
        else if (e == 't') out += '\t';
        else if (e == 'u' && p + 4 < line.size()) {
          out += static_cast<char>(strtol(line.substr(p + 1, 4).c_str(), nullptr, 16));
          p += 4;
        } else out += e;
      } else {
        out += line[p];
      }
    }
    return out;
  }
  size_t end = p;
  int depth = 0;
  while (end < line.size() && (depth > 0 || (line[end] != ',' && line[end] != '}'))) {
    if (line[end] == '[') depth++;
    if (line[end] == ']') depth--;
    end++;
  }
  return line.substr(p, end - p);
}

// Lines of a log whose "event" is `event`.
inline std::vector<std::string> events(const std::string& path, const std::string& event) {
  std::vector<std::string> out;
  for (const std::string& l : read_lines(path))
    if (json_get(l, "event") == event) out.push_back(l);
  return out;
}

inline bool wait_event(const std::string& path, const std::string& event, size_t count = 1,
                       double seconds = kDeadline) {
  return wait_for([&] { return events(path, event).size() >= count; }, seconds);
}

// --- child processes ------------------------------------------------------------
class Child {
 public:
  Child() = default;
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts `path` with `args`, the environment plus `env` ("NAME=value").
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {}) {
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; e++) {
      std::string kv = *e;
      bool overridden = false;
      for (const std::string& o : env)
        if (kv.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0) overridden = true;
      if (!overridden) envStore.push_back(kv);
    }
    // Of two entries for one name in `env`, the later wins.
    for (size_t i = 0; i < env.size(); i++) {
      bool later = false;
      std::string name = env[i].substr(0, env[i].find('=') + 1);
      for (size_t k = i + 1; k < env.size(); k++)
        if (env[k].compare(0, name.size(), name) == 0) later = true;
      if (!later) envStore.push_back(env[i]);
    }
    std::vector<char*> envp;
    for (std::string& s : envStore) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    std::vector<std::string> argStore;
    argStore.push_back(path);
    for (const std::string& a : args) argStore.push_back(a);
    std::vector<char*> argv;
    for (std::string& s : argStore) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    mExited = false;
    pid_t parent = getpid();
    mPid = fork();
    if (mPid == 0) {
      // The child must not outlive a test that crashes or stops at an assertion.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      vyxtest::exec_program(path.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    return mPid > 0;
  }

  pid_t Pid() const { return mPid; }
  bool Running() {
    if (mPid <= 0 || mExited) return false;
    pid_t r = waitpid(mPid, &mStatus, WNOHANG);
    if (r == mPid) mExited = true;
    return !mExited;
  }

  // SIGTERM, then waits for the end (SIGKILL after kDeadline).  Returns the wait
  // status, or -1 when there was no child.
  int Stop(int sig = SIGTERM) {
    if (mPid <= 0) return -1;
    if (!mExited) {
      kill(mPid, sig);
      bool ended = wait_for([&] { return !Running(); });
      if (!ended) {
        kill(mPid, SIGKILL);
        waitpid(mPid, &mStatus, 0);
        mExited = true;
      }
    }
    mPid = -1;
    return mStatus;
  }

 private:
  pid_t mPid = -1;
  int mStatus = 0;
  bool mExited = false;
};

// --- queues ---------------------------------------------------------------------
struct RawMessage {
  long mtype;
  char text[8192];
};

inline bool queue_send(int key, long type, const void* text, size_t size) {
  int q = msgget(key, IPC_CREAT | 0666);
  if (q < 0) return false;
  static RawMessage m;
  memset(&m, 0, sizeof(m));
  m.mtype = type;
  memcpy(m.text, text, size < sizeof(m.text) ? size : sizeof(m.text));
  return msgsnd(q, &m, size, IPC_NOWAIT) == 0;
}

// Receives one message of `type` (0: any) within `seconds`; its text size, or -1.
inline ssize_t queue_wait(int key, long type, RawMessage* m, double seconds = kDeadline) {
  int q = msgget(key, IPC_CREAT | 0666);
  if (q < 0) return -1;
  ssize_t n = -1;
  wait_for([&] {
    n = msgrcv(q, m, sizeof(m->text) - 1, type, IPC_NOWAIT | MSG_NOERROR);
    return n >= 0;
  }, seconds);
  if (n >= 0) m->text[n] = '\0';
  return n;
}

inline long queue_count(int key) {
  int q = msgget(key, IPC_CREAT | 0666);
  struct msqid_ds ds;
  if (q < 0 || msgctl(q, IPC_STAT, &ds) != 0) return -1;
  return static_cast<long>(ds.msg_qnum);
}

}  // namespace standins

#endif
