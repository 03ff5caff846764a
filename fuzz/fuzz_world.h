#ifndef VYX_FUZZ_WORLD_H
#define VYX_FUZZ_WORLD_H

// The world of the targets that drive command managers: private namespaces
// and scratch disks, the device's waits ten thousand times faster, and a
// system manager that confirms every remount.

#include "device_fakes.h"
#include "fuzz_support.h"

namespace vyxfuzz {

inline void enter_command_world() {
  enter_private_world();
  quick_waits("10000");
  vyxtest::FakeSysMgr::Get();
}

}  // namespace vyxfuzz

#endif
