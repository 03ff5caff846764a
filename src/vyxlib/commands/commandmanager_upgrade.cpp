// Firmware upgrade over the command protocol: "UPGR<size>" announces the
// archive, "UPGR:<bytes>" datagrams carry it into /mnt/hd4/multiple.tar
// (partition 4 remounted read-write for it), and the last chunk asks the SNMP
// agent to burn the archive, once it has been checked to be a whole tar.
// The chunks go to a temporary file beside it, put in place only once whole
// and checked: a cut transfer or a power cut never leaves a part of an
// archive under the name the burner reads.
// "UPGR?" reports the state at any time.  Status and error replies go
// straight to the controller; the handler then returns null so that the loop
// sends nothing more.

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "commands/tararchive.h"
#include "core/fields.h"
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
StagedFile archive;
int bytesDownloaded = 0;

// Replies the handler sends itself; the longest is well under this.
char upgrade_reply[160];

// Gives up the archive being written (its temporary file removed) and
// partition 4 back read-only.
void AbandonArchive() {
  if (!archive.Staged()) return;
  archive.Abandon();
  SystemManager::RemountHd(kUpgradePartition, 0);
}

// The whole archive synced, checked and put in place; partition 4 read-only
// again either way.  False with the reason in `why` (nothing then in place).
bool CommitArchive(char* why, size_t whySize, bool* refused) {
  *refused = false;
  bool ok = archive.Finish() == 0;
  // A damaged archive never reaches the burner: the device keeps its
  // firmware and the controller may send the archive again.
  if (ok && !tar_archive_complete(archive.TemporaryPath(), why, whySize)) {
    *refused = true;
    ok = false;
  }
  ok = ok && archive.Publish() == 0;
  archive.Abandon();
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

// One "UPGR:" chunk of `given` bytes at `data`, appended to the archive; the
// last one closes it, checks it and asks the agent to burn it.
char* ReceiveChunk(CommandManager& m, const char* data, int given) {
  UdpServer* server = m.mpServer;
  // Each chunk goes to the disk as it comes, so that a full disk is told at
  // the chunk that found it.
  int written = static_cast<int>(fwrite(data, 1, static_cast<size_t>(given), archive.File()));
  if (fflush(archive.File()) != 0) written = 0;
  bytesDownloaded += written;
  if (written < given || bytesDownloaded > m.mUpgradeBytes) {
    AbandonArchive();
    m.mUpgradeState = CommandManager::eUpgradeDownloadError;
    SendUpgradeReply(server, "%s Error saving upgrade file at %d of %d bytes\r\n", CommandManager::mKo,
                     bytesDownloaded, m.mUpgradeBytes);
    bytesDownloaded = 0;
    return nullptr;
  }
  if (bytesDownloaded < m.mUpgradeBytes) return CommandManager::mOk;
  VYX_LOG("Download completed\n");
  // The archive must be whole on the disk before the burner reads it.
  char why[96] = "";
  bool refused = false;
  if (!CommitArchive(why, sizeof(why), &refused) && !refused) {
    m.mUpgradeState = CommandManager::eUpgradeDownloadError;
    SendUpgradeReply(server, "%s Error saving upgrade file at %d of %d bytes\r\n", CommandManager::mKo,
                     bytesDownloaded, m.mUpgradeBytes);
    bytesDownloaded = 0;
    return nullptr;
  }
  if (refused) {
    VYX_ERROR("Upgrade archive refused: %s", why);
    m.mUpgradeState = CommandManager::eUpgradeDownloadError;
    SendUpgradeReply(server, "%s Upgrade archive is not a complete tar: %s\r\n", CommandManager::mKo,
                     why);
    bytesDownloaded = 0;
    return nullptr;
  }
  char* resp = m.mpSnmp->SnmpSet("%s s ide://%s", ZernOid(eMULTIPLE_UPGRADE), kUpgradeFile);
  if (resp == nullptr) {
    m.mUpgradeState = CommandManager::eUpgradeBurnError;
    SendUpgradeReply(server, "%s Error starting burn process\r\n", CommandManager::mKo);
    return nullptr;
  }
  VYX_LOG("Sent snmp to start upgrade. Resp: %s\n", resp);
  m.mUpgradeState = CommandManager::eUpgradeBurning;
  return CommandManager::mOk;
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
      if (len > 0 && text[0] == ':') return ReceiveChunk(*this, text + 1, len - 1);
      // Anything else abandons the download and is taken as a new start.
      AbandonArchive();
      mUpgradeState = eUpgradeDownloadError;
      bytesDownloaded = 0;
      break;

    case eUpgradeBurning:
      SendUpgradeReply(mpServer, "%s Invalid state %d\r\n", mKo, static_cast<int>(eUpgradeBurning));
      return nullptr;

    case eUpgradeIdle:
    case eUpgradeDownloadError:
    case eUpgradeBurnError:
    default:
      break;
  }

  // The announced size as a decimal number; one beyond an int saturates and
  // the size check refuses it.
  fields::Split head(text, '\0', len);
  mUpgradeBytes = fields::Decimal(head.At(0));
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
  // The archive burned last makes room for the new one (the disk need not
  // hold two), so the name never holds a stale archive either.
  bool cleared = unlink(kUpgradeFile) == 0 || errno == ENOENT;
  if (!cleared || archive.Open(kUpgradeFile) != 0) {
    SendUpgradeReply(mpServer, "%s Can't open upgrade file\r\n", mKo);
    mUpgradeState = eUpgradeDownloadError;
    SystemManager::RemountHd(kUpgradePartition, 0);
    return nullptr;
  }
  return mOk;
}
