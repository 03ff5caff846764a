// The upgrade state machine: a series of UPGR datagrams (size announcements,
// chunks, status queries, anything) to a transmitter, with the fake agent
// and system manager in a private world (fuzz_support.h), the archive in the
// private /mnt/hd4.  Each input starts from the idle state.
// Input: pieces (fuzz_support.h), each the text after "UPGR" (a leading ':'
// makes it a chunk).

#include <cstdint>
#include <cstdlib>
#include <string>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "fuzz_support.h"
#include "fuzz_world.h"
#include "utils.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_command_world();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CommandManager* tx = vyxtest::shared_manager('T');
  if (tx->mUpgradeState == CommandManager::eUpgradeDownloading) vyxtest::dispatch(tx, "UPGR0");
  tx->mUpgradeState = CommandManager::eUpgradeIdle;
  global_debug_flag = 0;
  for (const std::string& piece : vyxfuzz::split_pieces(data, size, 64)) {
    std::string datagram = "UPGR" + piece.substr(0, 2036);
    vyxtest::dispatch(tx, datagram);
    // A refused size or a failed write must leave a state the machine knows.
    if (tx->mUpgradeState < CommandManager::eUpgradeIdle ||
        tx->mUpgradeState > CommandManager::eUpgradeBurnError)
      __builtin_trap();
  }
  vyxtest::FakeAgent::Get().ClearRequests();
  vyxtest::FakeSysMgr::Get().Take();
  return 0;
}
