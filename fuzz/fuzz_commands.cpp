// The command dispatcher of both roles, with the fake SNMP agent, system
// manager and serial port of the unit tests, inside a private world
// (fuzz_support.h).  Each datagram goes into the manager's own receive buffer
// as the command loop puts it there (cleared, at most 2040 bytes); the reply
// must be a terminated text.  Datagrams that would block for good (FILTER),
// leave the scratch directory or ask the resolver are tamed first, as in the
// hostile-command unit tests.
// Input: pieces (fuzz_support.h); each piece is a role byte (even:
// transmitter, odd: receiver) and the datagram.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "fuzz_support.h"
#include "utils.h"

namespace {

const size_t kReceiveLimit = 2040;  // the command loop's receive size

// Each input starts with no upgrade under way and logging off.
void Reset(CommandManager* m) {
  if (m->mUpgradeState == CommandManager::eUpgradeDownloading) vyxtest::dispatch(m, "UPGR0");
  m->mUpgradeState = CommandManager::eUpgradeIdle;
  global_debug_flag = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_private_world();
  vyxfuzz::quick_waits("10000");
  vyxtest::FakeSysMgr::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CommandManager* tx = vyxtest::shared_manager('T');
  static CommandManager* rx = vyxtest::shared_manager('R');
  static unsigned runs = 0;
  Reset(tx);
  Reset(rx);
  for (const std::string& piece : vyxfuzz::split_pieces(data, size, 16)) {
    if (piece.empty()) continue;
    CommandManager* m = (static_cast<uint8_t>(piece[0]) & 1) ? rx : tx;
    std::string datagram = vyxtest::tame_command(piece.substr(1, kReceiveLimit));
    vyxtest::dispatch(m, datagram);
    global_debug_flag = 0;
  }
  vyxtest::FakeAgent::Get().ClearRequests();
  vyxtest::FakeSysMgr::Get().Take();
  vyxtest::FakeSerial::Get().Take();
  if (++runs % 1000 == 0) {
    // Files the debug stream commands opened are closed, then removed.
    vyxtest::dispatch(tx, "STREAMFROMFILE");
    vyxtest::dispatch(rx, "STREAMFROMFILE");
    vyxfuzz::clean_work_dir();
  }
  return 0;
}
