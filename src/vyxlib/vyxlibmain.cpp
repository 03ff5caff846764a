// Entry points of the plug-in.  The media player loads the library, calls
// Vyx_Start_Filter once with the device role, and from then on hands every
// transport-stream buffer (transmitter) or every PAT/PMT section (receiver) to
// Vyx_Filter on its own thread.  The start builds the one command manager
// (which builds every other module) and starts the command and watchdog
// threads; nothing is ever torn down while the player runs.
//
// The entry points sit above every subsystem folder: they build the command
// manager and hand buffers to the filter.  The state they share with the
// command manager is in core/filterentry.h.

#include <atomic>
#include <cstdio>
#include <new>

#include "commands/commandmanager.h"
#include "core/filterentry.h"
#include "core/version.h"
#include "ts/sectionreader.h"
#include "ts/tsfilter.h"
#include "utils.h"

#define VYX_EXPORT extern "C" __attribute__((visibility("default")))

// Thread bodies; the argument is the command manager.
void* command_thread(void* arg);
void* watchdog_thread(void* arg);

namespace {

// How long the transmitter's completed datagrams may wait for the next ones
// (TsFilter::SetSendHold): a few ms at a stream's rate is several datagrams.
const double kTransmitterSendHoldMs = 10.0;

std::atomic<bool> started(false);  // set once; a second start only reports
char ret[128];           // handed back on every call; the library never writes it
CommandManager* mgr = nullptr;
pthread_t id;

// Receiver: the PMT PID the analysed PAT gives a program, or -1.  The last
// answer is tried first: a receiver plays one program, whose PMT repeats.
int pmt_pid_of_program(const TsFilter* filter, unsigned short program) {
  static int last = -1;
  auto names = [&](int pid) {
    const PacketIdMapType& e = filter->mPacketIdMap[pid];
    return e.type == ePidTypePmt && e.programId == program && program != 0;
  };
  if (last > 0 && last < TsFilter::kPidCount && names(last)) return last;
  for (int pid = 1; pid < TsFilter::kPidCount - 1; pid++) {
    if (!names(pid)) continue;
    last = pid;
    return pid;
  }
  return -1;
}

}  // namespace

VYX_EXPORT char* Vyx_Start_Filter(char type) {
  // Claimed before anything else so that two calls racing from different
  // threads still build one manager.
  if (started.exchange(true)) {
    VYX_ERROR("Starting VYX twice");
    return ret;
  }
  VYX_LOG("\nStarting DUREDOD module for %c version %d.%d.%d\n\n", type, version_get_major(),
          version_get_minor(), version_get_build());

  VYX_LOG("new CommandManager for type %c\n", type);
  mgr = new (std::nothrow) CommandManager(type);
  if (mgr == nullptr) {
    VYX_ERROR("CANT CREATE command manager\n");
    return ret;
  }

  // The transmitter's datagrams leave a few at a time: one system call (and
  // one trip of the network stack, with segmentation offload) for several.
  TsFilter* tsf = TsFilter::Self();
  if (type == 'T' && tsf != nullptr) tsf->SetSendHold(kTransmitterSendHoldMs / 1000.0);

  // Both threads: detached, SCHED_RR at its lowest priority (inherited policy
  // where real-time scheduling is not permitted).
  VYX_LOG("Starting command_thread\n");
  if (vyx_start_thread(&id, command_thread, mgr) != 0) {
    VYX_ERROR("CANT CREATE command thread\n");
    return ret;
  }
  VYX_LOG("Starting watchdog_thread\n");
  if (vyx_start_thread(&id, watchdog_thread, mgr) != 0) {
    VYX_ERROR("CANT CREATE watchdog_thread\n");
    return ret;
  }
  printf("DurEdod Returning\n");
  fflush(stdout);
  return ret;
}

VYX_EXPORT void Vyx_Filter(unsigned char* data, unsigned len) {
  // The command manager's constructor publishes the filter after the role:
  // once the filter is seen, so is the role, even while start-up still runs.
  TsFilter* filter = published_filter();
  if (filter == nullptr || data == nullptr) return;
  if (static_type == 'T') {
    filter->Filter(data, static_cast<int>(len));
    return;
  }
  // Receiver: whole sections of the program being played, table id first.
  if (!process_pat_on()) return;
  // The analysers read as far as the section's own length says: a section
  // cut short by the player (or lying about its length) is dropped before
  // they read past the len bytes handed over.
  if (len < 3 || 3u + ((static_cast<unsigned>(data[1] & 0x0F) << 8) | data[2]) > len) {
    VYX_ERROR("Receiver got a cut section: %u bytes\n", len);
    return;
  }
  switch (data[0]) {
    case 0x00:
      filter->AnalyzeSectionPat(data);
      break;
    case 0x02: {
      // The player gives no PID: the PMT is read on the one the PAT gave its
      // program (whose entry holds the PAT's transport id).  Before that PAT,
      // it waits for the next repetition.
      SectionReader head(data, static_cast<int>(len));
      head.Skip(3);
      unsigned short program = head.U16();
      int pid = head.Ok() ? pmt_pid_of_program(filter, program) : -1;
      if (pid > 0) filter->AnalyzeSectionPmt(data, pid);
      break;
    }
    default:
      VYX_ERROR("Receiver got bad section 0x%x\n", data[0]);
      break;
  }
}

void* command_thread(void* arg) {
  // The first manager given stays this thread's manager for good.
  static CommandManager* threadMgr = nullptr;
  if (threadMgr == nullptr) threadMgr = static_cast<CommandManager*>(arg);
  if (threadMgr != nullptr) threadMgr->ProcessCommandLoop();
  return nullptr;
}

void* watchdog_thread(void* arg) {
  static CommandManager* threadMgr = nullptr;
  if (threadMgr == nullptr) threadMgr = static_cast<CommandManager*>(arg);
  for (;;) {
    vyx_sleep_s(5);
    if (threadMgr != nullptr) threadMgr->RunPeriodicCheck();
  }
  return nullptr;
}
