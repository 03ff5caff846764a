// Playback and display handlers: the default start-up item.

#include <cstdio>
#include <cstring>

#include "commandmanager.h"
#include "systemmanager.h"
#include "utils.h"

namespace {

// The command the device plays when it starts (the last saved UNIT), kept on
// disk partition 1 and read back by the start-up routine.
const char kDefaultStartupFile[] = "/mnt/hd1/vyx_def_startup";

}  // namespace

bool CommandManager::SaveDefaultStartupItem(char* cmd) {
  if (cmd == nullptr) return false;
  // The partition is mounted read-only except around our writes.
  if (SystemManager::RemountHd(1, 1) != 0) {
    VYX_ERROR("Can't remount rw");
    return false;
  }
  FILE* f = fopen(kDefaultStartupFile, "w");
  if (f == nullptr) {
    VYX_ERROR("Can't open def startup file");
    // Leave the disk as we found it.
    SystemManager::RemountHd(1, 0);
    return false;
  }
  VYX_LOG("Saving Default Startup Item %s\n", cmd);
  // Exactly the characters of the command: no line end, no terminator.
  size_t len = strlen(cmd);
  bool written = fwrite(cmd, 1, len, f) == len;
  if (fclose(f) != 0) written = false;
  if (!written) VYX_ERROR("Can't write def startup file");
  SystemManager::RemountHd(1, 0);
  vyx_sleep_s(1);
  return written;
}
