// Playback and display handlers: multicast playback on the receiver and the
// default start-up item.

#include <cstdio>
#include <cstring>

#include "commands/commandmanager.h"
#include "services/k720cmmd.h"
#include "snmplocal.h"
#include "systemmanager.h"
#include "utils.h"
#include "zernsnmp.h"

namespace {

// Exactly the characters of the command: no line end, no terminator.
bool WriteStartupItem(FILE* f, void* ctx) {
  const char* cmd = static_cast<const char*>(ctx);
  size_t len = strlen(cmd);
  return fwrite(cmd, 1, len, f) == len;
}

// Player command line, built afresh for each call: the channel splits it in
// place and keeps pointers into it while it sends.
char play_line[160];

}  // namespace

bool CommandManager::PlayLayer(char* mcastIp, unsigned short mcastPort, int progId, int audioId) {
  if (mcastIp == nullptr) return false;
  VYX_LOG("PlayLayer: %s:%d, prid %x audioid %d (0x%x)\n", mcastIp, mcastPort, progId, audioId, audioId);
  snprintf(play_line, sizeof(play_line), "%s", "-os 50 50 100 100 0 0 0");
  k720cmmd(play_line);
  if (mcastPort == mMulticastPortReceived && strncmp(mcastIp, mMulticastIpReceived, 16) == 0) {
    // The stream already plays: choose program and audio within it.
    snprintf(play_line, sizeof(play_line), "-vs 50 50 100 100 0 255 0 -vdbg 14 %x %x ", progId, audioId);
    k720cmmd(play_line);
  } else {
    // At most 15 characters of the group: a dotted address never needs more.
    snprintf(play_line, sizeof(play_line), "-udp %.15s %d %x %x 50 50 100 100 0 255 0", mcastIp, mcastPort,
             progId, audioId);
    k720cmmd(play_line);
    mPrevMcastPort = mcastPort;
    snprintf(mMulticastIpReceived, sizeof(mMulticastIpReceived), "%.15s", mcastIp);
  }
  if (mCCIndex != 0 && (mpSnmp == nullptr || mpSnmp->SnmpSet("%s i %d", ZernOid(eCLOSE_CAPTION), mCCIndex) == nullptr))
    VYX_ERROR("close caption play");
  return true;
}

bool CommandManager::SaveDefaultStartupItem(char* cmd) {
  if (cmd == nullptr) return false;
  VYX_LOG("Saving Default Startup Item %s\n", cmd);
  // The partition is mounted read-only except around our writes.
  int rc = SystemManager::WriteBetweenRemounts(1, kDefaultStartupFile, WriteStartupItem, cmd);
  if (rc < 0 && rc > kWriteFileOpenFailed) {
    VYX_ERROR("Can't remount rw");
    return false;
  }
  if (rc == kWriteFileOpenFailed) VYX_ERROR("Can't open def startup file");
  if (rc < kWriteFileOpenFailed) VYX_ERROR("Can't write def startup file");
  vyx_sleep_s(1);
  return rc == 0;
}
