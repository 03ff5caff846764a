// A recording plug-in for the player's tests, loaded through VYX_LIBVYX in
// place of libvyx.so.  It writes what the player does with it to the file
// named by VYX_FAKE_LOG: "start T", "serial_test N", periodic "filter CALLS
// BYTES UNALIGNED SYNCERRORS" lines (SYNCERRORS counts buffers whose bytes
// break the 188-byte grid of a stream that starts on a packet), and one
// "section TABLE LENGTH" line per section handed over in the receiver role.
// HASH is an order-sensitive hash of every byte handed over (h = h * 31 + b,
// modulo 2^64), so a test can check the bytes themselves, not only their
// count.

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_mutex;
char g_type = 0;
unsigned long long g_calls = 0, g_bytes = 0, g_unaligned = 0, g_syncErrors = 0, g_hash = 0;
char g_ret[128];

void line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void line(const char* fmt, ...) {
  const char* path = getenv("VYX_FAKE_LOG");
  if (path == nullptr) return;
  FILE* f = fopen(path, "a");
  if (f == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(f, fmt, ap);
  va_end(ap);
  fclose(f);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) char* Vyx_Start_Filter(char type) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_type = type;
  line("start %c\n", type);
  typedef int (*SerialFn)(void);
  SerialFn serial = reinterpret_cast<SerialFn>(dlsym(RTLD_DEFAULT, "run_serial_test"));
  if (serial != nullptr) line("serial_test %d\n", serial());
  return g_ret;
}

extern "C" __attribute__((visibility("default"))) void Vyx_Filter(unsigned char* data, unsigned len) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_type == 'R' || g_type == 'r') {
    line("section %u %u\n", data[0], len);
    return;
  }
  bool broken = false;
  for (unsigned i = 0; i < len; i++) {
    if ((g_bytes + i) % 188 == 0 && data[i] != 0x47) broken = true;
    g_hash = g_hash * 31 + data[i];
  }
  g_calls++;
  g_bytes += len;
  if (len % 188 != 0) g_unaligned++;
  if (broken) g_syncErrors++;
  if ((g_calls & 63) == 0)
    line("filter %llu %llu %llu %llu %llu\n", g_calls, g_bytes, g_unaligned, g_syncErrors, g_hash);
}
