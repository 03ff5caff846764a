// Scan handlers of the command manager: tune and scan one channel
// ("Tuner://"), the scan status ("SCA?"), the channel list ("SCAL") and the
// blind scan ("BLIND").  The scan's progress lines reach the controller
// through the tuner manager's forwarding, which each handler enables first.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "core/fields.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// A SCAL datagram is sent once it passes this many bytes (whole lines).
const int kScalDatagramLimit = 1024;
const char kScalEnd[] = "ffff\r\nOK\r\n";  // sent with its terminating zero byte
// Lines gathered for one datagram: up to the limit, the line that crossed
// it, and the end mark.
char scal_datagram[kScalDatagramLimit + TunerManager::kScalLineMax + sizeof(kScalEnd)];

}  // namespace

char* CommandManager::ProcessTunerTuneCommand(char* cmd) {
  if (mMyType != 'T') return BadType();
  if (mpTunerManager == nullptr || cmd == nullptr) return mKo;
  if (mpTunerManager->ScanState() == TunerManager::eScanInProgress) return mKo;
  if (UpgradeInProgress()) {
    VYX_LOG("Upgrade in progress - command rejected");
    return mKo;
  }
  unsigned int channel = fields::Hex(cmd);
  if (channel > 0xFFFF || !TunerManager::ChannelInRange(mpTunerManager->mTunerMode, static_cast<int>(channel))) {
    // A channel the tuner cannot take would scan the whole band instead
    // (0) or report whatever the tuner was left on.
    VYX_ERROR("Tuner: channel 0x%x outside the tuner mode's range", channel);
    return mKo;
  }
  mpTunerManager->SetTunerForwarding(mpServer);
  mpTunerManager->ScanOneChannel(static_cast<int>(channel));
  if (!mpTunerManager->BlindScan(TunerManager::eScanUk)) return mKo;
  vyx_sleep_s(1);
  return mOk;
}

char* CommandManager::ProcessTunerScanStatusCommand(char* /*cmd*/) {
  if (mMyType != 'T') return BadType();
  if (mpTunerManager == nullptr) return mKo;
  unsigned char reply[4] = {0, 0, 0, 0};
  reply[1] = static_cast<unsigned char>(mpTunerManager->GetCurrentChannel());
  reply[2] = static_cast<unsigned char>(mpTunerManager->GetTotalChannelsFound());
  mpTunerManager->SetTunerForwarding(mpServer);
  switch (mpTunerManager->ScanState()) {
    case TunerManager::eScanIdle:
      reply[3] = 0;
      break;
    case TunerManager::eScanInProgress:
      reply[3] = 2;
      break;
    case TunerManager::eScanDone:
      reply[3] = 5;
      break;
    case TunerManager::eScanError:
      reply[3] = 0xFF;
      break;
    default:
      VYX_ERROR("BUG!!!");
      break;
  }
  VYX_LOG("SCA? reply: 0x%.2x 0x%.2x 0x%.2x 0x%.2x\n", reply[0], reply[1], reply[2], reply[3]);
  mpServer->Reply(reply, 4);  // a failure prints "sendto() - 1"
  return nullptr;
}

char* CommandManager::ProcessTunerScanQueryCommand(char* /*cmd*/) {
  if (mMyType != 'T') return BadType();
  if (mpTunerManager == nullptr) return mKo;
  if (mpTunerManager->ScanState() == TunerManager::eScanInProgress) {
    VYX_ERROR("Scan in progress!");
    return mKo;
  }
  mpTunerManager->SetTunerForwarding(mpServer);
  mpTunerManager->RewindScan();
  int pos = 0;
  for (;;) {
    int n = mpTunerManager->GetNextProgramScalFormatted(scal_datagram + pos);
    if (n < 0) continue;  // reported; that record is passed over
    pos += n;
    if (pos <= kScalDatagramLimit) {
      if (n != 0) continue;
      memcpy(scal_datagram + pos, kScalEnd, sizeof(kScalEnd));
      if (mpServer->Reply(scal_datagram, pos + static_cast<int>(sizeof(kScalEnd))) < 0)
        VYX_ERROR("Could not send out SCAL item");
      break;
    }
    if (mpServer->Reply(scal_datagram, pos) < 0) VYX_ERROR("Could not send out SCAL item");
    pos = 0;
  }
  return nullptr;
}

char* CommandManager::ProcessTunerScanBlindCommand(char* cmd) {
  if (mMyType != 'T') return BadType();
  if (UpgradeInProgress()) {
    VYX_LOG("Upgrade in progress - command rejected");
    return mKo;
  }
  if (mpTunerManager == nullptr || cmd == nullptr) return mKo;
  // No digit reads as 0: a bare "BLIND" scans the ATSC band.
  const int n = fields::Decimal(cmd);
  if (n >= TunerManager::eScanUk && n <= TunerManager::eScanAsia) {
    VYX_LOG("Received BLIND command for %d\n", n);
    if (mpTunerManager->ScanState() == TunerManager::eScanInProgress) {
      VYX_LOG("BLIND (Start scan) command received while scanning");
      return mKo;
    }
    mpTunerManager->SetTunerForwarding(mpServer);
    if (mpTsf != nullptr) mpTsf->StopMulticast(-1, true);
    mpTunerManager->BlindScan(static_cast<TunerManager::ScanTypeEnum>(n));
    return nullptr;
  }
  if (n == TunerManager::eScanStop) {
    VYX_LOG("Received STOP BLIND command %d\n", n);
    mpTunerManager->SetTunerForwarding(mpServer);
    mpTunerManager->BlindScan(TunerManager::eScanStop);
    return nullptr;
  }
  VYX_LOG("Received INVALID BLIND command %d !!!\n", n);
  return FormatReply(cmd, "BLINDSTART:0 %s", mKo);
}
