// vyxstart: run at device start-up with the device type.  It does not load
// the plug-in itself: it asks the media player, through the player's own
// k720cmmd tool, to load libvyx in the right role, and ends.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

typedef char* (*VyxStartFilterFn)(char);
static VyxStartFilterFn VyxStartFilter = nullptr;

// Loads the plug-in into this process and finds its start entry (not used by
// main: the player loads the plug-in).  0 when found, -1 otherwise.
int LoadVyxLibrary() {
  static void* handle = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    handle = dlopen("/tmp/lumo/libvyx.so", RTLD_LAZY);
  }
  if (handle == nullptr) {
    // dlerror() is null once its message has been taken (a second call).
    const char* error = dlerror();
    if (error != nullptr)
      fprintf(stderr, "Cant load libvyx!!! Error is %s\n", error);
    else
      fprintf(stderr, "Cant load libvyx!!!\n");
    return -1;
  }
  dlerror();
  VyxStartFilter = reinterpret_cast<VyxStartFilterFn>(dlsym(handle, "Vyx_Start_Filter"));
  const char* error = dlerror();
  if (error != nullptr) {
    fprintf(stderr, "libvyx: cant obtain Vyx_Start_Filter symbol!!! Error is %s\n", error);
    return -1;
  }
  return 0;
}

static void usage(const char* name) {
  fprintf(stderr, "Usage: %s [type]\n", name);
  fprintf(stderr, "where type is T for transmitter and R for receiver, A for autodetect.\n");
  fprintf(stderr, "If type is omitted, it will be autodetected\n");
}

int main(int argc, char** argv) {
  // Without a type the launcher acts as for 'A', and, like 'A', sends the
  // receiver's request: the player loads the plug-in as a receiver (no
  // detection from the board version happens on this path).
  char type = 'A';
  if (argc > 2) {
    usage(argv[0]);
    return 0;
  }
  if (argc == 2) {
    type = argv[1][0];
    if (type != 'A' && type != 'R' && type != 'T') {
      usage(argv[0]);
      return 0;
    }
  }
  // The tools' exit statuses are not looked at: the player may not be up yet.
  if (type == 'T') {
    fprintf(stderr, "sending -vdbg 12 to transmitter to load VyxLib(T)\n");
    if (system("k720cmmd -stopall") < 0) perror("system");
    if (system("k720cmmd -vdbg 12") < 0) perror("system");
  } else {
    fprintf(stderr, "sending -vdbg 16 1 to transmitter to load VyxLib(R)\n");
    if (system("k720cmmd -vdbg 16 1") < 0) perror("system");
  }
  fprintf(stderr, "Vyx main returning\n");
  return 0;
}
