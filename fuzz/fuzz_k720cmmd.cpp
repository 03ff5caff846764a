// The player tool's option parser, as the plug-in runs it in process: any
// command line, split at blanks.  Every option builds its record and puts it
// on the player's queue (the system manager's for -mount).  The target runs in
// a private world (fuzz_support.h) that holds both queues and a network of
// `lo` alone, so that the host-name lookups of -hostip and -hostname go no
// further than the hosts file and a resolver that cannot be reached.  -rtsp
// ends only the command-line tool, not this.
// After each line the records are taken off the queues and checked: each of
// its queue's message type, no longer than a record, and with the command id
// of an option.  Nobody reads the queues during a line, so a line of many
// options fills them and the later records are refused.

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "quv_interprocess.h"
#include "services/k720cmmd.h"

namespace {

int gPlayerQueue = -1;
int gSysMgrQueue = -1;

bool KnownPlayerCommand(int32_t id) {
  static const int32_t kIds[] = {
      QUV_CMMD_IMAGE_DISPLAY, QUV_CMMD_STREAM_DISPLAY, QUV_CMMD_STOP_PICTURE, QUV_CMMD_RESOLUTION,
      QUV_CMMD_BROWSER_PLAY,  QUV_CMMD_BROWSER_NEXT,   QUV_CMMD_STOP_BROWSER, QUV_CMMD_STOP_VIDEO,
      QUV_CMMD_VIDEO_PLAY,    QUV_CMMD_PICTURE_PLAY,   QUV_CMMD_STOP_ALL,     QUV_CMMD_PLAYER_CTL,
      QUV_CMMD_COLOR_BAR,     QUV_CMMD_OSD_START,      QUV_CMMD_OSD_STOP,     QUV_CMMD_VIDEO_NEXT,
      QUV_CMMD_PICTURE_NEXT,  QUV_CMMD_PICTURE_LAYER,  QUV_CMMD_VIDEO_LAYER,  QUV_CMMD_BROWSER_LAYER,
      QUV_CMMD_DEBUG,         QUV_CMMD_VIDEO_STAT,     QUV_CMMD_TUNER_CHANNEL, QUV_CMMD_HWC_MSG,
      QUV_CMMD_TUNER_SCAN};
  for (int32_t k : kIds)
    if (k == id) return true;
  return false;
}

// Takes every record off `queue` and traps on one the player would misread.
void CheckRecords(int queue, long type, bool (*known)(int32_t)) {
  for (;;) {
    // Without MSG_NOERROR: a record longer than the player's buffer is
    // refused (E2BIG) instead of cut.
    QuvMsgWire in;
    ssize_t n = msgrcv(queue, &in, sizeof(in.text), 0, IPC_NOWAIT);
    if (n < 0 && errno == E2BIG) __builtin_trap();
    if (n < 0) return;
    if (in.mtype != type || n < 8) __builtin_trap();
    int32_t id;
    memcpy(&id, in.text, sizeof(id));
    if (!known(id)) __builtin_trap();
  }
}

bool RemountCommand(int32_t id) { return id == QUV_CMMD_DEVICE_REMOUNT; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_private_world();
  gPlayerQueue = msgget(QUV_MSG_Q_KEY, IPC_CREAT | 0666);
  gSysMgrQueue = msgget(SYSMGR_MSG_Q_KEY, IPC_CREAT | 0666);
  if (gPlayerQueue < 0 || gSysMgrQueue < 0) {
    perror("fuzz_k720cmmd: msgget");
    exit(1);
  }
  // The parser prints each record; keep the fuzzer's output readable.
  if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, strnlen(line.c_str(), line.size()));
  std::unique_ptr<char[]> buffer(new char[line.size() + 1]);
  memcpy(buffer.get(), line.c_str(), line.size() + 1);
  k720cmmd(buffer.get());
  CheckRecords(gPlayerQueue, QUV_MSG_TYPE, KnownPlayerCommand);
  CheckRecords(gSysMgrQueue, SYSMGR_MSG_TYPE, RemountCommand);
  return 0;
}
