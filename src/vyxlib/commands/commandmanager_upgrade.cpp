// Firmware upgrade over the command protocol: "UPGR<size>" announces the
// archive, "UPGR:<bytes>" datagrams carry it into /mnt/hd4/multiple.tar
// (partition 4 remounted read-write for it), and the last chunk asks the SNMP
// agent to burn the archive.  "UPGR?" reports the state at any time.  Status
// and error replies go straight to the controller; the handler then returns
// null so that the loop sends nothing more.

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "snmplocal.h"
#include "systemmanager.h"
#include "utils.h"
#include "zernsnmp.h"

namespace {

const char kUpgradeFile[] = "/mnt/hd4/multiple.tar";
constexpr int kUpgradePartition = 4;
constexpr int kMinUpgradeBytes = 11;
constexpr int kMaxUpgradeBytes = 1000000000;

// The archive being written and the bytes written to it so far.
FILE* fp = nullptr;
int bytesDownloaded = 0;

// Replies the handler sends itself; the longest is well under this.
char upgrade_reply[160];

// Announced size: the decimal number at the start of the text.  A value out
// of int range (or none) reads as something the size check refuses.
int AnnouncedSize(const char* text, int len) {
  char number[24];
  size_t n = len > 0 ? static_cast<size_t>(len) : 0;
  if (n >= sizeof(number)) n = sizeof(number) - 1;
  memcpy(number, text, n);
  number[n] = '\0';
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(number, &end, 10);
  if (end == number) return 0;
  if (errno == ERANGE || v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// Closes the archive and gives partition 4 back read-only.  False when the
// archive could not be completed on the disk.
bool CloseArchive() {
  if (fp == nullptr) return true;
  bool ok = fflush(fp) == 0;
  ok = fclose(fp) == 0 && ok;
  fp = nullptr;
  SystemManager::RemountHd(kUpgradePartition, 0);
  return ok;
}

// Sends one status or error reply of the upgrade handler to the controller
// and logs it.
__attribute__((format(printf, 2, 3))) void SendUpgradeReply(UdpServer* server, const char* fmt,
                                                         ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(upgrade_reply, sizeof(upgrade_reply), fmt, ap);
  va_end(ap);
  VYX_LOG("%s\n", upgrade_reply);
  server->Reply(upgrade_reply, static_cast<int>(strlen(upgrade_reply)));
}

}  // namespace

char* CommandManager::ProcessMultipleUpgradeCommand(char* text, int len) {
  if (text == nullptr) return mKo;
  if (len < 0) len = 0;
  if (len > 0 && text[0] == '?') {
    SendUpgradeReply(mpServer, "UPGRSTATUS%d %s\r\n", mUpgradeState, mOk);
    return nullptr;
  }

  switch (mUpgradeState) {
    case eUpgradeDownloading:
      if (len > 0 && text[0] == ':') {
        int given = len - 1;
        int written = static_cast<int>(fwrite(text + 1, 1, static_cast<size_t>(given), fp));
        bytesDownloaded += written;
        if (written < given || bytesDownloaded > mUpgradeBytes) {
          CloseArchive();
          mUpgradeState = eUpgradeDownloadError;
          SendUpgradeReply(mpServer, "%s Error saving upgrade file at %d of %d bytes\r\n", mKo,
                           bytesDownloaded, mUpgradeBytes);
          bytesDownloaded = 0;
          return nullptr;
        }
        if (bytesDownloaded < mUpgradeBytes) return mOk;
        VYX_LOG("Download completed\n");
        // The archive must be whole on the disk before the burner reads it.
        if (!CloseArchive()) {
          mUpgradeState = eUpgradeDownloadError;
          SendUpgradeReply(mpServer, "%s Error saving upgrade file at %d of %d bytes\r\n", mKo,
                           bytesDownloaded, mUpgradeBytes);
          bytesDownloaded = 0;
          return nullptr;
        }
        char* resp = mpSnmp->SnmpSet("%s s ide://%s", ZernOid(eMULTIPLE_UPGRADE), kUpgradeFile);
        if (resp == nullptr) {
          mUpgradeState = eUpgradeBurnError;
          SendUpgradeReply(mpServer, "%s Error starting burn process\r\n", mKo);
          return nullptr;
        }
        VYX_LOG("Sent snmp to start upgrade. Resp: %s\n", resp);
        mUpgradeState = eUpgradeBurning;
        return mOk;
      }
      // Anything else abandons the download and is taken as a new start.
      CloseArchive();
      mUpgradeState = eUpgradeDownloadError;
      bytesDownloaded = 0;
      return ProcessMultipleUpgradeCommand(text, len);

    case eUpgradeBurning:
      SendUpgradeReply(mpServer, "%s Invalid state %d\r\n", mKo, static_cast<int>(eUpgradeBurning));
      return nullptr;

    case eUpgradeIdle:
    case eUpgradeDownloadError:
    case eUpgradeBurnError:
    default:
      break;
  }

  mUpgradeBytes = AnnouncedSize(text, len);
  VYX_LOG("Starting Upgrade with %d bytes\n", mUpgradeBytes);
  if (mUpgradeBytes < kMinUpgradeBytes || mUpgradeBytes > kMaxUpgradeBytes) {
    SendUpgradeReply(mpServer, "%s File too large or too small: %d\r\n", mKo, mUpgradeBytes);
    return nullptr;
  }
  bytesDownloaded = 0;
  mUpgradeState = eUpgradeDownloading;
  int rc = SystemManager::RemountHd(kUpgradePartition, 1);
  if (rc < 0) {
    SendUpgradeReply(mpServer, "%s Can't remount 'w' (%d).\r\n", mKo, rc);
    mUpgradeState = eUpgradeDownloadError;
    return nullptr;
  }
  VYX_LOG("Open the %s for writing\n", kUpgradeFile);
  fp = fopen(kUpgradeFile, "wb");
  if (fp == nullptr) {
    SendUpgradeReply(mpServer, "%s Can't open upgrade file\r\n", mKo);
    mUpgradeState = eUpgradeDownloadError;
    SystemManager::RemountHd(kUpgradePartition, 0);
    return nullptr;
  }
  return mOk;
}
