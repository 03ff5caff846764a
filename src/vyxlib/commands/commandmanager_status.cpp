// Status and network handlers of the command manager: "STATUS" on both
// roles, the network query "IP?" and the network change "DHCP".  The
// settings themselves live in the SNMP agent; the replies are built in place
// of the command (the command buffer) and bounded by it.

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/beacon.h"
#include "commands/commandmanager.h"
#include "core/fields.h"
#include "core/scopedlock.h"
#include "sharedmem.h"
#include "snmplocal.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "utils.h"
#include "zernsnmp.h"

namespace {

// Appends printf-style text to a reply of `room` bytes; once the reply is
// full it stays cut there (and terminated) instead of running past its end.
class ReplyText {
 public:
  ReplyText(char* out, size_t room) : mOut(out), mRoom(room), mLen(0) {
    if (mRoom > 0) mOut[0] = '\0';
  }
  void Append(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (mLen + 1 >= mRoom) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(mOut + mLen, mRoom - mLen, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    mLen += static_cast<size_t>(n);
    if (mLen >= mRoom) mLen = mRoom - 1;
  }
  void Clear() {
    mLen = 0;
    if (mRoom > 0) mOut[0] = '\0';
  }

 private:
  char* mOut;
  size_t mRoom;
  size_t mLen;
};

// Tuner signal level (0..5) on the scale of the status reply (0..255).
constexpr int kSignalScale = 51;
// Lock state the receiver reports while a stream plays.
constexpr int kReceiverLocked = 5;
// A setting value that is an address: a dotted quad fits 15 characters.
constexpr size_t kAddressChars = 15;

// An address field cut to kAddressChars characters; empty when missing.
void CopyAddress(const char* field, char* out, size_t size) {
  snprintf(out, size, "%s", field != nullptr ? field : "");
}

// The reply room for a text written in place of cmd, or the caller's own
// fallback buffer.
char* ReplyBuffer(CommandManager* m, char* cmd, char* fallback, size_t fallbackSize,
                  size_t* room) {
  *room = m->ReplyRoom(cmd);
  if (*room > 0) return cmd;
  *room = fallbackSize;
  return fallback;
}

// Replies built outside the command buffer (a caller's own text).
char status_fallback[1024];

}  // namespace

char* CommandManager::ProcessStatusGetTransmitter(char* cmd) {
  if (cmd == nullptr) return mKo;
  size_t room = 0;
  char* out = ReplyBuffer(this, cmd, status_fallback, sizeof(status_fallback), &room);
  ReplyText reply(out, room);
  reply.Append("STATUS ");

  int sigStrength = SharedMem::Self()->GetSignalStrengthTransmitter() * kSignalScale;
  int lock = sigStrength > 0 ? 1 : 0;

  bool any = false;
  if (mpTsf != nullptr) {
    // The player's thread appends to the program lists (a PAT or PMT that
    // attaches a PID) under the filter's lock: they are copied into the reply
    // under it too, and the reply is sent after the handler returns.  The
    // slots themselves change only on this (the command) thread.
    ScopedLock guard(&mpTsf->mMutex);
    for (int i = 0; i < TsFilter::kMaxStreams; i++) {
      Streamer* s = mpTsf->mStreamersList[i];
      if (s == nullptr) continue;
      any = true;
      reply.Append("%d %d %s:%d %d:%d:%.2x:[", s->mActive ? 1 : 0, s->mId, s->mMulticastIp,
                   s->mMulticastPort, 0, lock, sigStrength);
      for (int p = 0; p < s->mProgramCount; p++)
        reply.Append(p == 0 ? "%.4x" : ":%.4x", s->mProgramList[p]);
      reply.Append("] ");
    }
  }
  if (!any) {
    reply.Clear();
    reply.Append("STATUS 0 0 0.0.0.0:0 0:%d:%.2x:[] ", lock, sigStrength);
  }
  reply.Append("F:%s ", mTunerMode);
  reply.Append("E:0 C:\"NO CAM\" %d%% OK\r\n", SharedMem::Self()->GetCpuUtilization());
  return out;
}

char* CommandManager::ProcessStatusGetReceiver(char* cmd) {
  if (cmd == nullptr) return mKo;
  int lockState = 0;
  char* item = mpSnmp->SnmpGet(ZernOid(eCURRENT_ITEM_BEING_PLAYED));
  if (item == nullptr)
    VYX_ERROR("snmp");
  else if (strncasecmp(item, "Stream", 6) == 0)
    lockState = kReceiverLocked;

  SharedMem* sm = SharedMem::Self();
  int program = sm->GetProgramReceivedReceiver();
  int video = sm->GetVideoTypeReceiver();
  int audio = sm->GetAudioTypeReceiver();
  int cpu = sm->GetCpuUtilization();
  size_t room = 0;
  char* out = ReplyBuffer(this, cmd, status_fallback, sizeof(status_fallback), &room);
  snprintf(out, room, "STATUS %d %.15s:%d %d:%.4x %d %d %d %d %d%%OK\r\n", mLastUnitCommandId,
           mMulticastIpReceived, mMulticastPortReceived, lockState, program, video, audio,
           mBrowserUp ? 2 : 0, 0, cpu);
  return out;
}

char* CommandManager::ProcessIpGet(char* cmd) {
  if (cmd == nullptr) return mKo;
  size_t room = 0;
  char* out = ReplyBuffer(this, cmd, status_fallback, sizeof(status_fallback), &room);
  ReplyText reply(out, room);
  // Every read is tried, so that each failing item gets its report.
  bool ok = true;

  // The agent's answers are copied out at once: the next request reuses the
  // bridge's buffer.
  char* value = mpSnmp->SnmpGet(ZernOid(eDHCP_ENABLE));
  if (value == nullptr) {
    VYX_ERROR("dhcp");
    ok = false;
  } else {
    reply.Append("DHCP:%d ", atoi(value));
  }

  // Read now: an address that cannot be read is shown empty, not a stale one.
  char mac[16];
  mpServer->ReadMacAddress("eth0", mac);
  reply.Append("MAC:%s ", mac);

  value = mpSnmp->SnmpGet(ZernOid(eIP_ADDRESS));
  if (value == nullptr) {
    VYX_ERROR("ip addr");
    ok = false;
  } else {
    VYX_LOG("IP ADDRRESSS: %s\n", value);
    reply.Append("IP:%s ", value);
  }

  value = mpSnmp->SnmpGet(ZernOid(eIP_GATEWAY));
  if (value == nullptr) {
    VYX_ERROR("gateway addr");
    ok = false;
  } else {
    reply.Append("GW:%s ", value);
  }

  value = mpSnmp->SnmpGet(ZernOid(eIP_MASK));
  if (value == nullptr) {
    VYX_ERROR("netmask");
    return mKo;
  }
  reply.Append("NM:%s OK\r\n", value);
  return ok ? out : mKo;
}

char* CommandManager::ProcessIpSet(char* cmd) {
  if (cmd == nullptr) return mKo;
  if (UpgradeInProgress()) {
    VYX_LOG("Upgrade in progress - command rejected\n");
    return mKo;
  }

  const char* text = strnlen(cmd, 4) == 4 ? cmd + 4 : "";
  fields::Split split(text, ',');
  const char* number = split.Trimmed(0);
  const int dhcp = number != nullptr ? fields::Decimal(number) : 1;
  char ip[kAddressChars + 1];
  char gateway[kAddressChars + 1];
  char mask[kAddressChars + 1];
  CopyAddress(split.Trimmed(1), ip, sizeof(ip));
  CopyAddress(split.Trimmed(2), gateway, sizeof(gateway));
  CopyAddress(split.Trimmed(3), mask, sizeof(mask));
  VYX_LOG("Setting ZERN to DHCP %d, IP %s, GW %s, NM %s\n", dhcp, ip, gateway, mask);

  // A static setting with a missing or malformed address would be committed
  // and leave the device unreachable: refuse it before anything is changed.
  if (dhcp != 1 && (!is_valid_ip(ip) || !is_valid_ip(gateway) || !is_valid_ip(mask))) {
    VYX_ERROR("bad static address: IP %s, GW %s, NM %s", ip, gateway, mask);
    return mKo;
  }

  if (mpSnmp->SnmpSet("%s i %d", ZernOid(eDHCP_ENABLE), dhcp) == nullptr) {
    VYX_ERROR("set dhcp");
    return mKo;
  }
  if (dhcp != 1) {
    if (mpSnmp->SnmpSet("%s a %s", ZernOid(eIP_ADDRESS), ip) == nullptr) {
      VYX_ERROR("set Ip addr");
      return mKo;
    }
    if (mpSnmp->SnmpSet("%s a %s", ZernOid(eIP_GATEWAY), gateway) == nullptr) {
      VYX_ERROR("set gw addr");
      return mKo;
    }
    if (mpSnmp->SnmpSet("%s a %s", ZernOid(eIP_MASK), mask) == nullptr) {
      VYX_ERROR("set netmask");
      return mKo;
    }
  }

  // The controller hears "OK" before the address moves under it.
  SendReply(mOk);
  VYX_LOG("Stop Beacon on IP change\n");
  vyx_sleep_s(1);
  if (mpSnmp->SnmpSet("%s i 0", ZernOid(eNETWORK_COMMIT)) == nullptr) {
    VYX_ERROR("net commit");
    return mKo;
  }
  VYX_LOG("Start Beacon on IP change\n");
  BeaconRestart();
  return nullptr;
}
