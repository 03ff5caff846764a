// The transmitter's tuner: channel N of the host's channel map (VYX_CHANNELS,
// lines "N FILE [STRENGTH]") is a transport-stream file that the player feeds
// to the plug-in from its own thread, looping, at the stream's own bit rate.
//
// The file name "nopat" is no file: a carrier that locks but carries no
// tables, fed as null packets (PID 0x1FFF) at the default rate, for scans that
// must meet a locked channel without programs.
//
// The file is mapped, not read: buffers point into the mapping (private and
// writable, as a player's buffer is, so the file itself never changes), and
// only a buffer that wraps from the file's end to its start is copied.  The
// feed starts as soon as the file is mapped.
//
// Buffers have pseudo-random sizes of 1 to 8000 bytes (never aligned to
// packets, so the plug-in's resynchronisation is always exercised), from a
// fixed seed so runs repeat (VYX_FEED_SEED overrides it).  The rate comes
// from the PCRs of the file's first megabytes; VYX_FEED_RATE (bits/s)
// overrides it and VYX_FEED_FAST=1 feeds as fast as the plug-in takes it.
// The feed sleeps only once it is a pacing step (20 ms) ahead of the rate,
// so a fast stream costs some fifty wake-ups a second.  VYX_FEED_PROGRESS_MS
// (off by default) logs a "feed_progress" event that often: bytes fed, and
// read at the same instant the CPU of the whole process, of the feed thread
// (named "feed": the feed and the plug-in's packet path) and of the
// plug-in's own threads (named "vyx"), so that a benchmark can tell the
// plug-in's cost from the player's over any window of the feed.  Pacing is NOT
// compressed by VYX_TIME_SCALE: the bit rate is a property of the data, and
// multiplying it would only multiply the load on the host; the time scale
// compresses waits, which stay short compared with a stream's table cycle.
//
// A live channel: when the feed comes back to the file's start and the file
// was replaced (renamed over: another inode, size or time), the new file is
// mapped and fed from there on, so that a generator can roll a guide hour by
// hour under a running tuner.  A lost signal: while <hostdir>/signal-lost
// exists the feed delivers nothing and the strength reads 0; when it goes the
// strength comes back and the feed goes on where it was (event "signal").

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "player.h"
#include "standin.h"

namespace {

const size_t kMaxBuffer = 8000;
const double kDefaultRate = 1000000.0;  // files without PCRs (tables only)
const size_t kRateProbe = 16u << 20;    // bytes whose PCRs give the rate
const double kPaceStep = 0.020;         // seconds ahead before the feed sleeps

struct Feed {
  std::thread thread;
  std::atomic<bool> stop{false};
  uint8_t* data = nullptr;  // the mapped file
  size_t size = 0;
  std::string path;         // empty: not a file (the "nopat" carrier)
  struct stat identity {};  // of the file mapped
  std::string signalFile;   // present: the signal is lost
  int strength = 0;
  double rate = kDefaultRate;
  bool fast = false;
  uint32_t seed = 1;
  double progressEvery = 0.0;  // seconds; 0: no progress events
  JsonlWriter* log = nullptr;
  std::atomic<unsigned long long> bytes{0};
  std::atomic<unsigned long long> buffers{0};
  std::atomic<unsigned long long> delivered{0};
  ~Feed() {
    if (data != nullptr) munmap(data, size);
  }
};

// Maps `path` privately (copy on write); false with `error` set when it
// cannot be opened, is empty or cannot be mapped.
bool map_file(const std::string& path, Feed* f, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + path;
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            static_cast<unsigned long long>(st.st_size) <= static_cast<size_t>(-1);
  void* m = MAP_FAILED;
  if (ok) {
    m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    ok = m != MAP_FAILED;
  }
  close(fd);
  if (!ok) {
    *error = "cannot read " + path;
    return false;
  }
  if (f->data != nullptr) munmap(f->data, f->size);
  f->data = static_cast<uint8_t*>(m);
  f->size = static_cast<size_t>(st.st_size);
  f->path = path;
  f->identity = st;
  madvise(m, f->size, MADV_SEQUENTIAL);
  return true;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// At the file's start again, `at` bytes into the feed: maps the file anew
// when it was replaced (a live channel); keeps the old mapping when the new
// one cannot be read.
void reload_if_replaced(Feed* f, unsigned long long at) {
  if (f->path.empty()) return;
  struct stat st;
  if (stat(f->path.c_str(), &st) != 0 || same_file(st, f->identity)) return;
  std::string error;
  if (map_file(f->path, f, &error) && f->log != nullptr) {
    JsonLine j("feed_reload");
    j.Str("file", f->path.c_str()).Uint("bytes", f->size).Uint("at", at);
    f->log->Write(j);
  }
}

// While the signal file exists nothing is fed and the strength reads 0.
// Returns true while the signal is lost.
bool signal_lost(Feed* f, bool* lost, double* nextLook) {
  if (f->signalFile.empty()) return false;
  double now = standin_monotonic();
  if (now < *nextLook) return *lost;
  *nextLook = now + 0.05;
  bool gone = access(f->signalFile.c_str(), F_OK) == 0;
  if (gone != *lost) {
    *lost = gone;
    status_set_strength(gone ? 0 : f->strength);
    if (f->log != nullptr) {
      JsonLine j("signal");
      j.Bool("lost", gone).Int("strength", gone ? 0 : f->strength);
      f->log->Write(j);
    }
  }
  return gone;
}

const char kNoPat[] = "nopat";
const size_t kNoPatPackets = 1000;

// The "nopat" carrier: an anonymous mapping of null packets, released as a
// file's mapping is.
bool map_null_packets(Feed* f, std::string* error) {
  size_t size = kNoPatPackets * 188;
  void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) {
    *error = "cannot make the null packets";
    return false;
  }
  uint8_t* p = static_cast<uint8_t*>(m);
  for (size_t i = 0; i < kNoPatPackets; ++i, p += 188) {
    memset(p, 0xFF, 188);
    p[0] = 0x47;
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = static_cast<uint8_t>(0x10 | (i & 0x0F));  // payload only, counting
  }
  f->data = static_cast<uint8_t*>(m);
  f->size = size;
  return true;
}

std::mutex g_mutex;  // the current feed
Feed* g_feed = nullptr;
int32_t g_channel = 0;

unsigned long long clock_us(clockid_t clock) {
  struct timespec ts;
  if (clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<unsigned long long>(ts.tv_sec) * 1000000ull + static_cast<unsigned long long>(ts.tv_nsec) / 1000u;
}

// CPU microseconds of the process's threads named `name` (/proc/self/task).
unsigned long long threads_cpu_us(const char* name) {
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return 0;
  unsigned long long ns = 0;
  for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char path[64], comm[32] = {0};
    snprintf(path, sizeof(path), "/proc/self/task/%.20s/comm", e->d_name);
    FILE* c = fopen(path, "re");
    if (c == nullptr) continue;
    bool match = fgets(comm, sizeof(comm), c) != nullptr && strncmp(comm, name, strlen(name)) == 0 &&
                 (comm[strlen(name)] == '\n' || comm[strlen(name)] == '\0');
    fclose(c);
    if (!match) continue;
    snprintf(path, sizeof(path), "/proc/self/task/%.20s/schedstat", e->d_name);
    FILE* st = fopen(path, "re");
    if (st == nullptr) continue;
    unsigned long long run = 0;
    if (fscanf(st, "%llu", &run) == 1) ns += run;
    fclose(st);
  }
  closedir(d);
  return ns / 1000u;
}

// Microseconds, not seconds: the log's numbers keep six digits only.
void log_progress(Feed* f, unsigned long long sent) {
  JsonLine j("feed_progress");
  j.Uint("bytes", sent).Uint("buffers", f->buffers.load(std::memory_order_relaxed));
  j.Uint("monoUs", clock_us(CLOCK_MONOTONIC)).Uint("cpuUs", clock_us(CLOCK_PROCESS_CPUTIME_ID));
  j.Uint("feedCpuUs", clock_us(CLOCK_THREAD_CPUTIME_ID)).Uint("vyxCpuUs", threads_cpu_us("vyx"));
  f->log->Write(j);
}

uint32_t xorshift32(uint32_t* s) {
  uint32_t x = *s;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *s = x;
  return x;
}

void feed_body(Feed* f) {
  static_assert(kMaxBuffer > 0, "buffer");
  prctl(PR_SET_NAME, "feed", 0, 0, 0);
  std::vector<uint8_t> wrap(kMaxBuffer);
  uint32_t prng = f->seed != 0 ? f->seed : 1;
  size_t pos = 0;
  double start = standin_monotonic();
  double nextProgress = f->progressEvery > 0 && f->log != nullptr ? start : -1.0;
  unsigned long long sent = 0;
  bool lost = false;
  double nextLook = 0.0;
  while (!f->stop.load(std::memory_order_relaxed)) {
    if (signal_lost(f, &lost, &nextLook)) {
      standin_sleep_until(standin_monotonic() + 0.02);
      start = standin_monotonic() - static_cast<double>(sent) * 8.0 / f->rate;
      continue;
    }
    size_t n = 1 + xorshift32(&prng) % kMaxBuffer;
    uint8_t* buf;
    bool atStart = false;
    if (f->size - pos >= n) {
      buf = f->data + pos;
      pos += n;
      if (pos == f->size) {
        pos = 0;
        atStart = true;
      }
    } else {
      // Across the end of the file, so the loop is seamless.
      for (size_t off = 0; off < n;) {
        size_t chunk = f->size - pos;
        if (chunk > n - off) chunk = n - off;
        memcpy(wrap.data() + off, f->data + pos, chunk);
        off += chunk;
        pos += chunk;
        if (pos == f->size) {
          pos = 0;
          reload_if_replaced(f, sent + off);
        }
      }
      buf = wrap.data();
    }
    if (plugin_filter(buf, static_cast<unsigned>(n))) f->delivered.fetch_add(1, std::memory_order_relaxed);
    sent += n;
    if (atStart) reload_if_replaced(f, sent);
    f->bytes.store(sent, std::memory_order_relaxed);
    f->buffers.fetch_add(1, std::memory_order_relaxed);
    if (f->fast && nextProgress < 0) continue;
    double now = standin_monotonic();
    if (nextProgress >= 0 && now >= nextProgress) {
      log_progress(f, sent);
      nextProgress = now + f->progressEvery;
    }
    if (f->fast) continue;
    double due = start + static_cast<double>(sent) * 8.0 / f->rate;
    if (due < now - 1.0) {
      // Far behind (a stalled plug-in): do not burst to catch up.
      start = now - static_cast<double>(sent) * 8.0 / f->rate;
    } else if (due > now + kPaceStep) {
      standin_sleep_until(due);
    }
  }
}

// Channel map line for `channel`: file (resolved against the map's directory
// when relative) and strength.  False when the channel is not in the map.
bool lookup_channel(int32_t channel, std::string* file, int* strength) {
  const char* map = env_str("VYX_CHANNELS", nullptr);
  if (map == nullptr) return false;
  FILE* f = fopen(map, "re");
  if (f == nullptr) return false;
  std::string dir = map;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
  char line[1024];
  bool found = false;
  while (!found && fgets(line, sizeof(line), f) != nullptr) {
    char name[1024];
    long n = 0, s = 5;
    int got = sscanf(line, "%ld %1023s %ld", &n, name, &s);
    if (got < 2 || line[0] == '#' || n != channel) continue;
    if (got < 3) s = 5;
    *strength = s < 0 ? 0 : s > 5 ? 5 : static_cast<int>(s);
    if (strcmp(name, kNoPat) == 0)
      *file = kNoPat;
    else
      *file = name[0] == '/' ? std::string(name) : dir + name;
    found = true;
  }
  fclose(f);
  return found;
}

}  // namespace

double ts_bitrate_from_pcr(const uint8_t* data, size_t len) {
  // Find the packet grid: a sync byte followed by sync bytes 188 and 376 on.
  size_t start = 0;
  while (start + 376 < len && !(data[start] == 0x47 && data[start + 188] == 0x47 && data[start + 376] == 0x47))
    start++;
  if (start + 376 >= len) return 0.0;
  int pcrPid = -1;
  uint64_t firstPcr = 0, lastPcr = 0;
  size_t firstOff = 0, lastOff = 0;
  int count = 0;
  for (size_t off = start; off + 188 <= len; off += 188) {
    const uint8_t* p = data + off;
    if (p[0] != 0x47) break;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    bool hasAf = (p[3] & 0x20) != 0;
    if (!hasAf || p[4] < 7 || (p[5] & 0x10) == 0) continue;
    if (pcrPid < 0) pcrPid = pid;
    if (pid != pcrPid) continue;
    uint64_t base = (static_cast<uint64_t>(p[6]) << 25) | (static_cast<uint64_t>(p[7]) << 17) |
                    (static_cast<uint64_t>(p[8]) << 9) | (static_cast<uint64_t>(p[9]) << 1) | (p[10] >> 7);
    uint64_t ext = (static_cast<uint64_t>(p[10] & 0x01) << 8) | p[11];
    uint64_t pcr = base * 300 + ext;
    if (count > 0 && pcr <= lastPcr) break;  // wrap or discontinuity: use what came before
    if (count == 0) {
      firstPcr = pcr;
      firstOff = off;
    }
    lastPcr = pcr;
    lastOff = off;
    count++;
  }
  if (count < 2 || lastOff <= firstOff) return 0.0;
  double seconds = static_cast<double>(lastPcr - firstPcr) / 27e6;
  if (seconds <= 0.0) return 0.0;
  double rate = static_cast<double>(lastOff - firstOff) * 8.0 / seconds;
  if (rate < 1e4 || rate > 2e8) return 0.0;  // not a believable broadcast rate
  return rate;
}

void tuner_stop_feed(JsonlWriter& log, const char* why) {
  Feed* f;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    f = g_feed;
    g_feed = nullptr;
  }
  if (f == nullptr) return;
  f->stop.store(true);
  if (f->thread.joinable()) f->thread.join();
  JsonLine j("feed_stop");
  j.Int("channel", g_channel).Str("reason", why).Uint("bytes", f->bytes.load()).Uint("buffers", f->buffers.load());
  j.Uint("delivered", f->delivered.load());
  log.Write(j);
  delete f;
}

void tuner_tune(int32_t channel, int32_t subChannel, JsonlWriter& log) {
  tuner_stop_feed(log, "retune");
  std::string file;
  int strength = 0;
  bool mapped = lookup_channel(channel, &file, &strength);
  Feed* f = nullptr;
  std::string error;
  if (mapped) {
    f = new Feed;
    bool ok = file == kNoPat ? map_null_packets(f, &error) : map_file(file, f, &error);
    if (!ok) {
      delete f;
      f = nullptr;
    }
  }
  if (!mapped || f == nullptr) strength = 0;
  status_set_strength(strength);
  g_channel = channel;

  JsonLine j("tune");
  j.Int("channel", channel).Int("subChannel", subChannel);
  if (mapped)
    j.Str("file", file.c_str());
  else
    j.Null("file");
  j.Int("strength", strength);
  if (!error.empty()) j.Str("error", error.c_str());
  if (f != nullptr) {
    double pcrRate = ts_bitrate_from_pcr(f->data, f->size < kRateProbe ? f->size : kRateProbe);
    long override = env_long("VYX_FEED_RATE", 0, 1000, 2000000000L);
    f->rate = override > 0 ? static_cast<double>(override) : pcrRate > 0 ? pcrRate : kDefaultRate;
    f->fast = env_long("VYX_FEED_FAST", 0, 0, 1) == 1;
    f->seed = static_cast<uint32_t>(env_long("VYX_FEED_SEED", 12345, 0, 0x7FFFFFFF)) ^
              static_cast<uint32_t>(channel) * 2654435761u;
    f->progressEvery = static_cast<double>(env_long("VYX_FEED_PROGRESS_MS", 0, 0, 3600000)) / 1000.0;
    f->log = &log;
    f->strength = strength;
    f->signalFile = hostdir_file("signal-lost");
    j.Num("rate", f->rate).Num("pcrRate", pcrRate).Bool("fast", f->fast).Uint("bytes", f->size);
    f->thread = std::thread(feed_body, f);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_feed = f;
  }
  log.Write(j);
}
