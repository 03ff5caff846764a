// Failure reports, debug traces, text helpers of the command handlers, waits
// and worker threads.
//
// Reports come from every thread of the plug-in (the player's filter thread,
// the command thread, the beacon, tuner, IR and serial threads).  They share
// one datagram buffer and one destination, so a single mutex covers building
// and sending a report as well as creating and deleting the destination: a
// report never overlaps another one, nor a CALLBACK that removes the sender.

#include "utils.h"
#include "waits.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include "udpcom.h"

int global_debug_flag = 1;
UdpSender* error_udp_sender = nullptr;
char* error_buffer = nullptr;

namespace {

constexpr size_t kErrorBufferSize = 2048;
constexpr char kErrorPrefix[] = "LOG:ERROR ";  // 10 characters
constexpr char kLogPrefix[] = "LOG: ";         // 5 characters
// Limits of the formatted message inside a datagram (terminator included).
constexpr size_t kErrorMessageLimit = 512;
constexpr size_t kLogMessageLimit = 1024;
static_assert(sizeof(kErrorPrefix) - 1 + kErrorMessageLimit + 2 <= kErrorBufferSize,
              "error datagram must fit the buffer");
static_assert(sizeof(kLogPrefix) - 1 + kLogMessageLimit + 3 <= kErrorBufferSize,
              "log datagram must fit the buffer");

std::mutex report_mutex;

// Caller holds report_mutex.
void error_buffer_init_locked() {
  if (error_buffer != nullptr) return;
  error_buffer = new (std::nothrow) char[kErrorBufferSize];
  if (error_buffer == nullptr) return;
  memset(error_buffer, 0, kErrorBufferSize);
  memcpy(error_buffer, kErrorPrefix, sizeof(kErrorPrefix) - 1);
}

// Builds prefix + message (cut to `limit` bytes with its terminator) + CR LF in
// error_buffer and sends it; `with_zero` also sends the terminating zero byte.
// Caller holds report_mutex and has checked error_udp_sender.
void send_datagram_locked(const char* prefix, size_t limit, bool with_zero, const char* fmt,
                          va_list ap) {
  error_buffer_init_locked();
  if (error_buffer == nullptr) return;
  size_t plen = strlen(prefix);
  memcpy(error_buffer, prefix, plen);
  int n = vsnprintf(error_buffer + plen, limit, fmt, ap);
  size_t mlen = n < 0 ? 0 : (static_cast<size_t>(n) >= limit ? limit - 1 : static_cast<size_t>(n));
  char* end = error_buffer + plen + mlen;
  end[0] = '\r';
  end[1] = '\n';
  end[2] = '\0';
  size_t total = plen + mlen + 2 + (with_zero ? 1 : 0);
  // A sender whose connect failed has no socket (s == 0): its sends fail
  // instead of going out on descriptor 0.
  int sent = -1;
  if (error_udp_sender->s != 0)
    sent = error_udp_sender->Send(error_buffer, static_cast<int>(total));
  else
    errno = ENOTCONN;
  if (sent < 0) fprintf(stderr, "sendto() - 2 errno %d\n", errno);
  // Leave the buffer as the other modules expect to find it.
  memcpy(error_buffer, kErrorPrefix, sizeof(kErrorPrefix) - 1);
}

const char* base_name(const char* path) {
  if (path == nullptr) return "?";
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void error_buffer_init() {
  std::lock_guard<std::mutex> lock(report_mutex);
  error_buffer_init_locked();
}

bool error_sender_set(const char* ip, unsigned short port) {
  std::lock_guard<std::mutex> lock(report_mutex);
  error_buffer_init_locked();
  if (error_udp_sender != nullptr) return true;
  error_udp_sender = new (std::nothrow) UdpSender();
  if (error_udp_sender == nullptr) return false;
  // A failed connect leaves the sender in place: its sends fail and are
  // reported, exactly as with a controller that went away.
  return error_udp_sender->Connect(port, ip != nullptr ? ip : "");
}

void error_sender_clear() {
  std::lock_guard<std::mutex> lock(report_mutex);
  if (error_udp_sender == nullptr) return;
  error_udp_sender->Disconnect();
  delete error_udp_sender;
  error_udp_sender = nullptr;
}

void error_report(const char* file, int line, const char* fmt, ...) {
  int saved_errno = errno;
  std::lock_guard<std::mutex> lock(report_mutex);

  fprintf(stderr, "PANIC at %s:%d  ", base_name(file), line);
  fflush(stderr);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  errno = saved_errno;
  perror("perror");

  if (error_udp_sender != nullptr) {
    va_start(ap, fmt);
    send_datagram_locked(kErrorPrefix, kErrorMessageLimit, false, fmt, ap);
    va_end(ap);
  }
  errno = saved_errno;
}

void debug_log(const char* fmt, ...) {
  int level = __atomic_load_n(&global_debug_flag, __ATOMIC_RELAXED);
  if (!debug_log_prints(level)) return;
  int saved_errno = errno;
  std::lock_guard<std::mutex> lock(report_mutex);
  va_list ap;
  va_start(ap, fmt);
  if (level == 1) {
    fputs("VYX: ", stdout);
    vfprintf(stdout, fmt, ap);
    fflush(stdout);
  } else if (error_udp_sender != nullptr) {
    send_datagram_locked(kLogPrefix, kLogMessageLimit, true, fmt, ap);
  }
  va_end(ap);
  errno = saved_errno;
}

// Hexadecimal text to number.  Characters that are not hex digits (blanks,
// "0x", line ends, letters past 'f') are skipped without taking a digit
// position.  Only the rightmost eight digits count: the result is the value
// modulo 2^32, whatever the length of the text, so a long or malformed text
// can never shift past the width of the result.
unsigned int hatoi(const char* hexstr) {
  if (hexstr == nullptr) return 0;
  size_t len = strlen(hexstr);
  unsigned int result = 0;
  unsigned int digits = 0;
  for (size_t i = len; i > 0 && digits < 8; --i) {
    char c = hexstr[i - 1];
    unsigned int v;
    if (c >= '0' && c <= '9')
      v = static_cast<unsigned int>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v = static_cast<unsigned int>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      v = static_cast<unsigned int>(c - 'A' + 10);
    else
      continue;
    result |= v << (4 * digits);
    ++digits;
  }
  return result;
}

char* mystrtok(char* s, const char* delim) {
  static char* position = nullptr;
  const int kMaxToken = 1024;
  char d = (delim != nullptr) ? delim[0] : '\0';

  if (s == nullptr) s = position;
  if (s == nullptr) return nullptr;
  if (*s == '\0') {
    position = nullptr;
    return nullptr;
  }
  for (int i = 0; i < kMaxToken; ++i) {
    char c = s[i];
    if (c == '\0') {
      // End of the text (also what an empty delimiter means): nothing is
      // left to resume from.
      position = nullptr;
      return s;
    }
    if (c == d) {
      s[i] = '\0';
      position = s + i + 1;
      return i == 0 ? nullptr : s;
    }
  }
  position = nullptr;
  return nullptr;
}

bool is_valid_ip(const char* ip_str) {
  if (ip_str == nullptr) return false;
  unsigned int a, b, c, d;
  if (sscanf(ip_str, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
  return a < 256 && b < 256 && c < 256 && d < 256;
}

double vyx_time_scale() {
  // Read once: the simulated world sets it in the environment before start.
  static const double scale = vyx_parse_time_scale(getenv("VYX_TIME_SCALE"));
  return scale;
}

void vyx_sleep_ms(unsigned int ms) { vyx_sleep_exact(static_cast<double>(ms) / 1000.0 / vyx_time_scale()); }

void vyx_sleep_s(unsigned int s) { vyx_sleep_exact(static_cast<double>(s) / vyx_time_scale()); }

int vyx_start_thread(pthread_t* id, void* (*body)(void*), void* arg) {
  pthread_t local;
  if (id == nullptr) id = &local;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_RR);
  struct sched_param param;
  memset(&param, 0, sizeof(param));
  param.sched_priority = sched_get_priority_min(SCHED_RR);
  pthread_attr_setschedparam(&attr, &param);
  // The plug-in's threads go by its name (a new thread takes its creator's),
  // so that a look into the host process tells them from the player's own.
  char creator[16] = {0};
  prctl(PR_GET_NAME, creator, 0, 0, 0);
  prctl(PR_SET_NAME, "vyx", 0, 0, 0);
  rc = pthread_create(id, &attr, body, arg);
  if (rc == EPERM) {
    // No right to real-time scheduling here: run with the creator's policy.
    pthread_attr_setinheritsched(&attr, PTHREAD_INHERIT_SCHED);
    rc = pthread_create(id, &attr, body, arg);
  }
  prctl(PR_SET_NAME, creator, 0, 0, 0);
  pthread_attr_destroy(&attr);
  return rc;
}
