// The command dispatcher of both roles, with the fake SNMP agent, system
// manager and serial port of the unit tests, inside a private world
// (fuzz_support.h).  Each datagram goes into the manager's own receive buffer
// as the command loop puts it there (cleared, at most 2040 bytes); the reply
// must be a terminated text.  Datagrams that would block for good (FILTER),
// leave the scratch directory or ask the resolver are tamed first, as in the
// hostile-command unit tests.
// The transmitter holds a small guide on its current channel (refreshed
// before each input), so that the EIT queries and the dump walk events.
// Input: pieces (fuzz_support.h); each piece is a selector byte (bit 0: the
// receiver, else the transmitter; bit 1: the agent answers garble; bit 2:
// the agent answers late; bit 3: the system manager refuses every remount;
// bits 4-7, when not 0: the agent answers garble to one setting only, the
// one of kRefusable they number) and the datagram.

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "fuzz_support.h"
#include "fuzz_world.h"
#include "quv_interprocess.h"
#include "ts/time.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "zernsnmp.h"

namespace {

const size_t kReceiveLimit = 2040;  // the command loop's receive size

// Settings the handlers read or write one after another: an agent that
// fails one of them midway (and answers the others) meets each handler's
// later steps.
const ZernSettingEnum kRefusable[] = {
    eDHCP_ENABLE,    eIP_ADDRESS,     eIP_GATEWAY,  eIP_MASK,    eNETWORK_COMMIT,
    eCLOSE_CAPTION,  eVIDEO_RESOLUTION, eCONFIG_SAVE, eMULTIPLE_UPGRADE, eTUNER_MODE,
    eIR_CONTROL,     eCURRENT_ITEM_BEING_PLAYED, eZERN_VERSION, eNETWORK_BUFFER_SIZE, eERROR_STATUS,
};
static_assert(sizeof(kRefusable) / sizeof(kRefusable[0]) == 15, "one for each value of bits 4-7 but 0");

// Each input starts with no upgrade under way, logging off and no
// controller list (the target's datagrams come from 0.0.0.0, which every
// list it could set holds); the list file an input saved is read back as
// the command loop reads it at start.
void Reset(CommandManager* m) {
  if (m->mUpgradeState == CommandManager::eUpgradeDownloading) vyxtest::dispatch(m, "UPGR0");
  m->mUpgradeState = CommandManager::eUpgradeIdle;
  global_debug_flag = 0;
  m->LoadControllers();
  vyxtest::dispatch(m, "CONTROLLERS0");
}

// As the unit tests tame datagrams, except that FILTER runs: the waits are
// scaled, so its idle end comes after milliseconds.
std::string Tame(const std::string& piece) {
  std::string datagram = vyxtest::tame_command(piece);
  if (!datagram.empty() && datagram[0] == '#' && strncasecmp(piece.c_str(), "FILTER", 6) == 0)
    datagram[0] = piece[0];
  return datagram;
}

// Programs 1 and 2 (source ids 1, 2) of the current channel with six
// half-hour events each from 07:00 UTC of MJD 0xe79a (program 2's titles in
// a non-plain mode, answered as hex) and texts of 40 to 240 bytes; the clock
// at 08:10.  Stored events are only refreshed.
void LoadGuide(TunerManager* tm) {
  const uint32_t day = (0xe79au - 44244u) * 86400u + 18u;
  Time::Self()->SetTime(day + 8 * 3600 + 600, 18, 0);
  char name[14] = {0, 'G', 0, 'U', 0, 'I', 0, 'D', 0, 'E'};
  for (uint16_t prog = 1; prog <= 2; ++prog) {
    tm->AddProgramToScanResults(1, prog);
    tm->SetPsipInfoForProgram(1, prog, name, 20, prog, 4, 0, 1, prog);
    for (uint16_t ev = 1; ev <= 6; ++ev) {
      std::string title = "Title " + std::to_string(ev);
      std::string text(40u * ev, static_cast<char>('a' + ev));
      tm->SetEventInfoForProgram(prog, ev, day + 7 * 3600 + (ev - 1) * 1800u, 1800,
                                 static_cast<unsigned char>(title.size()), &title[0],
                                 prog == 2 ? 0x3f : 0);
      tm->SetExtendedText(prog, static_cast<uint16_t>((ev << 2) | 2), &text[0],
                          static_cast<unsigned int>(text.size()), 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_command_world();
  // The player's command queue, which nobody reads: the tool's records are
  // sent until it is full, then refused.
  msgget(QUV_MSG_Q_KEY, IPC_CREAT | 0666);
  // A manager of each role made and given up once, as the player unloading
  // the module does (the shared ones below live for the process).
  vyxtest::FakeAgent::Get();
  uart_device_path = vyxtest::FakeSerial::Get().Path();
  for (char role : {'T', 'R'}) {
    CommandManager* m = new CommandManager(role);
    tsfix::Bytes ts = tsfix::MuxGenerator(2, 0x21, 20, 0).Generate(60);
    m->mpTsf->FilterActive(true);
    m->mpTsf->Filter(ts.data(), static_cast<int>(ts.size()));
    delete m;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CommandManager* tx = vyxtest::shared_manager('T');
  static CommandManager* rx = vyxtest::shared_manager('R');
  static unsigned runs = 0;
  Reset(tx);
  Reset(rx);
  LoadGuide(tx->mpTunerManager);
  for (const std::string& piece : vyxfuzz::split_pieces(data, size, 16)) {
    if (piece.empty()) continue;
    const uint8_t selector = static_cast<uint8_t>(piece[0]);
    CommandManager* m = (selector & 1) ? rx : tx;
    std::string datagram = Tame(piece.substr(1, kReceiveLimit));
    // The agent answers garble, or answers only after the handler gave up
    // waiting (its late reply then meets the next request).
    vyxtest::FakeAgent::Get().Garble((selector & 2) != 0);
    vyxtest::FakeAgent::Get().Hold((selector & 4) != 0);
    vyxtest::FakeSysMgr::Get().Refuse((selector & 8) != 0);
    if ((selector >> 4) != 0) vyxtest::FakeAgent::Get().Refuse(ZernOid(kRefusable[(selector >> 4) - 1]));
    vyxtest::dispatch(m, datagram);
    vyxtest::FakeAgent::Get().Garble(false);
    vyxtest::FakeAgent::Get().Hold(false);
    vyxtest::FakeSysMgr::Get().Refuse(false);
    vyxtest::FakeAgent::Get().RefuseNone();
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
