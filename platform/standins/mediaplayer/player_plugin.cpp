// The plug-in as the player sees it: loaded on the launcher's debug request,
// started with the role letter, then handed buffers on the player's threads.

#include <dlfcn.h>

#include <atomic>
#include <mutex>

#include "player.h"
#include "standin.h"

namespace {

typedef char* (*StartFilterFn)(char);
typedef void (*FilterFn)(unsigned char*, unsigned);

std::mutex g_load_mutex;
void* g_handle = nullptr;
StartFilterFn g_start = nullptr;
std::atomic<FilterFn> g_filter{nullptr};
JsonlWriter* g_log = nullptr;

}  // namespace

// The serial self-test the plug-in calls for TESTSER; looked up in the player
// process at run time, so it is exported from the executable.
extern "C" __attribute__((visibility("default"))) int run_serial_test(void) {
  if (g_log != nullptr) {
    JsonLine j("serial_test");
    g_log->Write(j);
  }
  return 0;
}

void plugin_set_log(JsonlWriter* log) { g_log = log; }

bool plugin_load(char type, JsonlWriter& log) {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  const char* path = env_str("VYX_LIBVYX", "/tmp/lumo/libvyx.so");
  char typeText[2] = {type, 0};
  if (g_handle == nullptr) {
    dlerror();
    g_handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (g_handle == nullptr) {
      const char* err = dlerror();
      JsonLine j("load");
      j.Str("type", typeText).Str("path", path).Bool("ok", false).Str("error", err != nullptr ? err : "dlopen");
      log.Write(j);
      return false;
    }
    dlerror();
    g_start = reinterpret_cast<StartFilterFn>(dlsym(g_handle, "Vyx_Start_Filter"));
    FilterFn filter = reinterpret_cast<FilterFn>(dlsym(g_handle, "Vyx_Filter"));
    if (g_start == nullptr || filter == nullptr) {
      const char* err = dlerror();
      JsonLine j("load");
      j.Str("type", typeText).Str("path", path).Bool("ok", false);
      j.Str("error", err != nullptr ? err : "entry points missing");
      log.Write(j);
      g_start = nullptr;
      return false;
    }
    g_filter.store(filter);
  }
  if (g_start == nullptr) return false;
  JsonLine j("load");
  j.Str("type", typeText).Str("path", path).Bool("ok", true);
  log.Write(j);
  // The plug-in builds its modules here (it may wait for the SNMP agent).
  g_start(type);
  return true;
}

bool plugin_loaded() { return g_filter.load() != nullptr; }

bool plugin_filter(unsigned char* data, unsigned len) {
  FilterFn f = g_filter.load();
  if (f == nullptr) return false;
  f(data, len);
  return true;
}
