#include "standin.h"

#include "jsonl.h"
#include "waits.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// --- environment -----------------------------------------------------------

const char* env_str(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return (v == nullptr || *v == '\0') ? fallback : v;
}

long env_long(const char* name, long fallback, long lo, long hi) {
  const char* v = getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  long n = strtol(v, &end, 0);
  if (errno != 0 || end == v || *end != '\0' || n < lo || n > hi) return fallback;
  return n;
}

bool env_host_is_tx() {
  const char* h = env_str("VYX_HOST", "");
  return h[0] == 't' || h[0] == 'T';
}

namespace {
std::string& hostdir_storage() {
  static std::string dir = env_str("VYX_HOSTDIR", "");
  return dir;
}
}  // namespace

void standin_set_hostdir(const char* dir) { hostdir_storage() = dir != nullptr ? dir : ""; }

const std::string& standin_hostdir() { return hostdir_storage(); }

std::string hostdir_file(const char* name) {
  const std::string& dir = standin_hostdir();
  if (dir.empty()) return std::string();
  std::string path = dir;
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

// --- time --------------------------------------------------------------------

double standin_now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double standin_monotonic() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double standin_time_scale() {
  static const double scale = vyx_parse_time_scale(getenv("VYX_TIME_SCALE"));
  return scale;
}

void standin_sleep_ms(unsigned int ms) { vyx_sleep_exact(static_cast<double>(ms) / 1000.0 / standin_time_scale()); }

void standin_sleep_until(double monotonicSeconds) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(monotonicSeconds);
  ts.tv_nsec = static_cast<long>((monotonicSeconds - static_cast<double>(ts.tv_sec)) * 1e9);
  if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// --- stopping ------------------------------------------------------------------

namespace {
std::atomic<bool> g_stop{false};
pthread_t g_main_thread;
double g_grace = 3.0;
sigset_t g_stop_set;

void wake_handler(int) {}

void* stop_watcher(void*) {
  int sig = 0;
  while (!g_stop.load()) {
    if (sigwait(&g_stop_set, &sig) == 0) break;
  }
  g_stop.store(true);
  // The main thread may be blocked in msgrcv, which a signal interrupts; keep
  // poking it in case the first signal came just before it blocked.
  double deadline = standin_monotonic() + g_grace;
  while (standin_monotonic() < deadline) {
    pthread_kill(g_main_thread, SIGUSR1);
    struct timespec ts = {0, 50 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  fflush(nullptr);
  _exit(0);
  return nullptr;
}
}  // namespace

void stop_signals_install(double graceSeconds) {
  g_grace = graceSeconds > 0 ? graceSeconds : 3.0;
  g_main_thread = pthread_self();
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = wake_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocked calls return EINTR
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigemptyset(&g_stop_set);
  sigaddset(&g_stop_set, SIGTERM);
  sigaddset(&g_stop_set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &g_stop_set, nullptr);
  pthread_t id;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_create(&id, &attr, stop_watcher, nullptr);
  pthread_attr_destroy(&attr);
}

bool stop_requested() { return g_stop.load(); }

void stop_request() {
  g_stop.store(true);
  // Let the watcher do the waking and the grace-period exit.
  kill(getpid(), SIGTERM);
}

// --- System V queues ---------------------------------------------------------

int queue_open(int32_t key, bool create) {
  return msgget(static_cast<key_t>(key), 0666 | (create ? IPC_CREAT : 0));
}

ssize_t queue_receive(int qid, void* buf, size_t textMax, long msgtyp) {
  return msgrcv(qid, buf, textMax, msgtyp, MSG_NOERROR);
}

void queue_serve(int32_t key, int* qid, void* buf, size_t textMax, long msgtyp,
                 const std::function<bool(size_t)>& handle, const std::function<void()>& reopened) {
  while (!stop_requested()) {
    ssize_t n = queue_receive(*qid, buf, textMax, msgtyp);
    if (n < 0) {
      int error = errno;
      if (error == EINTR) continue;
      standin_sleep_ms(100);
      if (error == EIDRM || error == EINVAL) {
        // Someone removed the queue: make it again and go on serving.
        *qid = queue_open(key, true);
        if (reopened) reopened();
      }
      continue;
    }
    if (!handle(static_cast<size_t>(n))) return;
  }
}

// --- files -------------------------------------------------------------------

bool write_file_atomic(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    off += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool read_file_limited(const std::string& path, size_t maxBytes, std::string* out) {
  out->clear();
  FILE* f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return false;
  char buf[4096];
  while (out->size() < maxBytes) {
    size_t want = maxBytes - out->size();
    if (want > sizeof(buf)) want = sizeof(buf);
    size_t n = fread(buf, 1, want, f);
    if (n == 0) break;
    out->append(buf, n);
  }
  fclose(f);
  return true;
}

// --- network -------------------------------------------------------------------

bool host_ipv4(std::string* ip, std::string* mask) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (struct ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN];
    const struct sockaddr_in* sin = reinterpret_cast<const struct sockaddr_in*>(a->ifa_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text)) == nullptr) continue;
    *ip = text;
    *mask = "255.255.255.0";
    if (a->ifa_netmask != nullptr) {
      const struct sockaddr_in* m = reinterpret_cast<const struct sockaddr_in*>(a->ifa_netmask);
      if (inet_ntop(AF_INET, &m->sin_addr, text, sizeof(text)) != nullptr) *mask = text;
    }
    found = true;
  }
  freeifaddrs(list);
  return found;
}

// --- command line --------------------------------------------------------------

const char* option_value(int argc, char** argv, int* i, const char* name) {
  const char* arg = argv[*i];
  size_t n = strlen(name);
  if (strncmp(arg, name, n) != 0) return nullptr;
  if (arg[n] == '=') return arg + n + 1;
  if (arg[n] != '\0') return nullptr;
  if (*i + 1 >= argc) return nullptr;
  *i += 1;
  return argv[*i];
}

bool standin_common_option(int argc, char** argv, int* i, const char** logPath) {
  const char* v;
  if ((v = option_value(argc, argv, i, "--log")) != nullptr) {
    *logPath = v;
  } else if ((v = option_value(argc, argv, i, "--hostdir")) != nullptr) {
    standin_set_hostdir(v);
  } else {
    return false;
  }
  return true;
}

// --- main ------------------------------------------------------------------------

int standin_main(int argc, char** argv, const StandinProgram& program) {
  const char* logPath = nullptr;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      program.usage(argv[0]);
      return 0;
    }
    if (standin_common_option(argc, argv, &i, &logPath)) continue;
    int taken = program.option ? program.option(argc, argv, &i) : kOptionUnknown;
    if (taken == kOptionTaken) continue;
    if (taken >= 0) return taken;
    fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
    program.usage(argv[0]);
    return 2;
  }
  if (program.check) {
    int status = program.check();
    if (status >= 0) return status;
  }

  if (program.graceSeconds > 0) stop_signals_install(program.graceSeconds);
  // Static: threads of the player's plug-in may still log while the process ends.
  static JsonlWriter log;
  std::string defaultLog = hostdir_file(program.logName);
  const char* opened = logPath != nullptr ? logPath : defaultLog.c_str();
  log.Open(opened);
  return program.run(log, opened);
}
