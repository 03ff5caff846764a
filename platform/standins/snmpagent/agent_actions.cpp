// Actions of the agent on its host: network commits, burns and reboots.

#include "agent_actions.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "jsonl.h"
#include "standin.h"

extern char** environ;

const char* const kDhcpScriptEnv = "VYX_AGENT_DHCP_SCRIPT";

namespace {

const char* const kInterface = "eth0";
const size_t kMaxMembersLogged = 200;

// The stand-ins block SIGTERM/SIGINT in every thread; a child must not keep
// that mask (it could not be stopped).
void child_signals_default() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Everything the child needs is made before the fork: other threads may hold
// the allocator's locks at that moment.  `extraEnv` ("NAME=value") is added to
// the child's environment only.
long spawn(const std::vector<std::string>& argv, int outFd, const std::string& extraEnv = "") {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; e != nullptr && *e != nullptr; e++) env.push_back(*e);
  if (!extraEnv.empty()) env.push_back(const_cast<char*>(extraEnv.c_str()));
  env.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    child_signals_default();
    if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
    execvpe(args[0], args.data(), env.data());
    _exit(127);
  }
  return pid;
}

bool in_path(const char* name) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string file = dirs.substr(start, end - start) + "/" + name;
    if (access(file.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string self_exe() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

// Sets ip/prefix on eth0 (after removing every address), the multicast route
// and, when given, the default route.  Returns the step that failed, or null.
const char* apply_static(const std::string& ip, int prefix, const std::string& gateway) {
  if (run_program({"ip", "addr", "flush", "dev", kInterface}) != 0) return "flush";
  std::string cidr = ip + "/" + std::to_string(prefix);
  if (run_program({"ip", "addr", "add", cidr, "dev", kInterface}) != 0) return "address";
  if (run_program({"ip", "route", "replace", "224.0.0.0/4", "dev", kInterface}) != 0) return "multicast route";
  if (!gateway.empty() && gateway != "0.0.0.0" &&
      run_program({"ip", "route", "replace", "default", "via", gateway, "dev", kInterface}) != 0) {
    return "gateway";
  }
  return nullptr;
}

std::atomic<bool> gBurning{false};

void burn_run(std::string source, JsonlWriter* log, unsigned burnMs) {
  JsonLine j("burn");
  j.Str("source", source.c_str());
  const char* error = nullptr;
  std::string path;
  std::string members;
  std::string sum;
  long long size = -1;
  static const char kScheme[] = "ide://";
  if (source.compare(0, sizeof(kScheme) - 1, kScheme) != 0) {
    error = "not an ide:// source";
  } else {
    path = source.substr(sizeof(kScheme) - 1);
    j.Str("path", path.c_str());
    struct stat st;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0) {
      error = "cannot read the archive";
    } else if (!S_ISREG(st.st_mode)) {
      error = "not a regular file";
    } else {
      size = static_cast<long long>(st.st_size);
    }
    if (fd >= 0) close(fd);
  }
  if (error == nullptr && run_program({"tar", "-tf", path}, &members, 1 << 20) != 0) {
    error = "not a tar archive";
  }
  std::vector<std::string> names;
  size_t count = 0;
  if (error == nullptr) {
    size_t start = 0;
    while (start < members.size()) {
      size_t end = members.find('\n', start);
      if (end == std::string::npos) end = members.size();
      if (end > start) {
        if (names.size() < kMaxMembersLogged) names.push_back(members.substr(start, end - start));
        count++;
      }
      start = end + 1;
    }
    if (count == 0) error = "the archive has no members";
  }
  if (error == nullptr) {
    if (run_program({"sha256sum", "-b", path}, &sum, 256) != 0 || sum.size() < 64) {
      error = "cannot hash the archive";
    } else {
      sum.resize(64);
    }
  }
  j.Bool("ok", error == nullptr);
  if (error != nullptr) {
    j.Str("error", error);
  } else {
    j.Int("size", size).Str("sha256", sum.c_str()).Uint("members", count);
    j.StrArray("names", names.data(), names.size());
  }
  log->Write(j);
  if (error == nullptr) {
    standin_sleep_ms(burnMs);
    reboot_device(*log);
  }
  gBurning = false;
}

}  // namespace

int run_program(const std::vector<std::string>& argv, std::string* out, size_t maxOut) {
  int fds[2] = {-1, -1};
  if (out != nullptr) {
    out->clear();
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  }
  long pid = spawn(argv, fds[1]);
  if (fds[1] >= 0) close(fds[1]);
  if (pid < 0) {
    if (fds[0] >= 0) close(fds[0]);
    return -1;
  }
  if (out != nullptr) {
    char buf[4096];
    for (;;) {
      ssize_t n = read(fds[0], buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      size_t room = maxOut > out->size() ? maxOut - out->size() : 0;
      out->append(buf, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    }
    close(fds[0]);
  }
  int status = 0;
  while (waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int mask_prefix(const std::string& mask) {
  unsigned a, b, c, d;
  char tail;
  if (sscanf(mask.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return -1;
  if (a > 255 || b > 255 || c > 255 || d > 255) return -1;
  uint32_t m = (a << 24) | (b << 16) | (c << 8) | d;
  int prefix = 0;
  while (prefix < 32 && (m & (0x80000000u >> prefix)) != 0) prefix++;
  uint32_t ones = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  return m == ones ? prefix : -1;
}

NetworkApplier::NetworkApplier(JsonlWriter& log, const std::string& logPath)
    : mLog(log), mLogPath(logPath) {}

NetworkApplier::~NetworkApplier() { StopClient(); }

void NetworkApplier::StopClient() {
  if (mClient <= 0) return;
  kill(static_cast<pid_t>(mClient), SIGTERM);
  int status;
  while (waitpid(static_cast<pid_t>(mClient), &status, 0) < 0 && errno == EINTR) {
  }
  mClient = -1;
}

void NetworkApplier::Commit(const NetworkSettings& s) {
  StopClient();
  JsonLine j("network_apply");
  j.Str("mode", s.dhcp ? "dhcp" : "static");
  if (s.dhcp) {
    std::string self = self_exe();
    if (!in_path("udhcpc")) {
      j.Bool("ok", false).Str("error", "no DHCP client (udhcpc) on this host");
    } else if (self.empty()) {
      j.Bool("ok", false).Str("error", "cannot find the agent's own program");
    } else {
      // The client reports to our log through its event script (ourselves).
      std::string mark = std::string(kDhcpScriptEnv) + "=" + (mLogPath.empty() ? "-" : mLogPath);
      mClient = spawn({"udhcpc", "-f", "-i", kInterface, "-s", self, "-t", "20", "-T", "1",
                       "-A", "1"}, -1, mark);
      j.Bool("ok", mClient > 0).Int("client", mClient);
    }
    mLog.Write(j);
    return;
  }
  int prefix = mask_prefix(s.mask);
  j.Str("ip", s.ip.c_str()).Str("mask", s.mask.c_str()).Str("gateway", s.gateway.c_str());
  const char* failed = nullptr;
  struct in_addr probe;
  if (prefix < 0) {
    failed = "mask";
  } else if (inet_pton(AF_INET, s.ip.c_str(), &probe) != 1) {
    failed = "address";  // checked before the flush: the host keeps its address
  } else if (!s.gateway.empty() && inet_pton(AF_INET, s.gateway.c_str(), &probe) != 1) {
    failed = "gateway";
  } else {
    failed = apply_static(s.ip, prefix, s.gateway);
  }
  j.Bool("ok", failed == nullptr);
  if (failed != nullptr) j.Str("failed", failed);
  mLog.Write(j);
}

int dhcp_script_event(const char* event) {
  const char* logPath = getenv(kDhcpScriptEnv);
  JsonlWriter log;
  log.Open(logPath != nullptr && strcmp(logPath, "-") != 0 ? logPath : nullptr);
  JsonLine j("dhcp");
  j.Str("state", event);
  int rc = 0;
  if (strcmp(event, "deconfig") == 0) {
    rc = run_program({"ip", "addr", "flush", "dev", kInterface}) == 0 ? 0 : 1;
    run_program({"ip", "link", "set", kInterface, "up"});
  } else if (strcmp(event, "bound") == 0 || strcmp(event, "renew") == 0) {
    std::string ip = env_str("ip", "");
    std::string subnet = env_str("subnet", "255.255.255.0");
    std::string router = env_str("router", "");
    size_t blank = router.find(' ');
    if (blank != std::string::npos) router.resize(blank);
    int prefix = mask_prefix(subnet);
    j.Str("ip", ip.c_str()).Str("mask", subnet.c_str()).Str("gateway", router.c_str());
    j.Str("lease", env_str("lease", ""));
    const char* failed = ip.empty() || prefix < 0 ? "lease" : apply_static(ip, prefix, router);
    if (failed != nullptr) j.Str("failed", failed);
    rc = failed == nullptr ? 0 : 1;
  }
  j.Bool("ok", rc == 0);
  log.Write(j);
  return rc;
}

void reboot_device(JsonlWriter& log) {
  std::string marker = hostdir_file("reboot-requested");
  bool marked = false;
  if (!marker.empty()) {
    FILE* f = fopen(marker.c_str(), "we");
    if (f != nullptr) {
      fprintf(f, "%.3f\n", standin_now());
      marked = fclose(f) == 0;
    }
  }
  long pid = -1;
  bool signalled = false;
  std::string text;
  std::string pidFile = hostdir_file("player.pid");
  if (!pidFile.empty() && read_file_limited(pidFile, 32, &text)) {
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (end != text.c_str() && v > 1) pid = v;
  }
  if (pid > 1) signalled = kill(static_cast<pid_t>(pid), SIGTERM) == 0;
  JsonLine j("reboot");
  j.Bool("marked", marked).Int("pid", pid).Bool("signalled", signalled);
  log.Write(j);
}

void reboot_later(JsonlWriter& log, unsigned delayMs) {
  std::thread([&log, delayMs] {
    standin_sleep_ms(delayMs);
    reboot_device(log);
  }).detach();
}

void burn_start(const std::string& source, JsonlWriter& log, unsigned burnMs) {
  bool idle = false;
  if (!gBurning.compare_exchange_strong(idle, true)) {
    JsonLine j("burn");
    j.Str("source", source.c_str()).Bool("ok", false).Str("error", "a burn is already running");
    log.Write(j);
    return;
  }
  std::thread(burn_run, source, &log, burnMs).detach();
}
