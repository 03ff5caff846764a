// Channel-selection handlers of the command manager: what the transmitter
// streams and what the receiver plays ("UNIT"), the tuner mode ("TUNERMODE"),
// and the start-up routine that restores the saved tuner mode and replays the
// saved default start-up item.

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/beacon.h"
#include "commands/commandmanager.h"
#include "core/fields.h"
#include "services/k720cmmd.h"
#include "snmplocal.h"
#include "systemmanager.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "core/filterentry.h"
#include "zernsnmp.h"

namespace {

const char kTunerModeFile[] = "/mnt/hd1/vyx_tunermode";
const int kDefaultStartupLimit = 1024;  // bytes read back of the start-up item
const int kTunerModeFileLimit = 6;      // bytes read back of the tuner mode
const int kMaxStreams = 8;              // stream numbers 0..7

// Copy of the command as it will be saved (first 254 characters).
char unit_copy[256];
// Writable copy of the stream text (UNIT2 cuts it in place); as long as the
// longest command datagram.
char unit_text[CommandManager::kReceiveLimit + 1];

// UNIT4/UNIT5: the stream number before the first comma, read as a decimal
// number (no digit is stream 0); it indexes the stream table, so one outside
// 0..7 is refused.  UNIT4 then starts the stream with the text after it.
bool RunNumberedStream(CommandManager& m, char d, char* text) {
  fields::Split split(text, ',');
  int stream = 0;
  if (!fields::InRange(split.At(0) != nullptr ? split.At(0) : "", 0, kMaxStreams - 1, &stream)) {
    VYX_ERROR("Invalid stream number in UNIT%c: %s", d, text);
    return false;
  }
  // Starting a stream needs its text after the stream number.
  const int rest = split.Offset(1);
  if (d == '4' && rest < 0) {
    VYX_ERROR("UNIT4 without stream text");
    return false;
  }
  m.mpTsf->StopMulticast(0, true);
  m.mpTsf->StopMulticast(stream, true);
  if (d == '4') {
    vyx_sleep_s(1);
    if (!m.StartStream(stream, text + rest)) {
      VYX_ERROR("Can't start multicast");
      return false;
    }
  }
  return true;
}

// The mode in decimal and a line feed.
bool WriteTunerMode(FILE* f, void* ctx) { return fprintf(f, "%d\n", *static_cast<int*>(ctx)) > 0; }

// Stops and starts the transmitter's streams for UNIT digit d with the
// stream text (split in place); false for a refusal, already reported.
bool RunStreamUnit(CommandManager& m, char d, char* text) {
  switch (d) {
    case '0':
      m.mpTsf->StopMulticast(-1, true);
      return true;
    case '2': {
      // Only address, port and channel: cut at the third comma when it comes
      // early enough to be the one after the channel.
      int commas = 0;
      for (int i = 0; i < 48 && text[i] != '\0'; i++) {
        if (text[i] == ',' && ++commas == 3) {
          text[i] = '\0';
          break;
        }
      }
      [[fallthrough]];
    }
    case '1':
      m.mpTsf->StopMulticast(-1, true);
      vyx_sleep_ms(100);
      if (!m.StartStream(0, text)) {
        VYX_ERROR("Can't start multicast");
        return false;
      }
      return true;
    case '3':
      VYX_ERROR("This command is only for receiver\n");
      return false;
    case '4':
    case '5':
      return RunNumberedStream(m, d, text);
    default:
      printf("Unknown UNIT command: %c\n", d);
      return false;
  }
}

// Player command lines of the stop (split in place by the channel).
char stop_line[64];

// Receiver UNIT1/UNIT3: play the group and port of the fields (and for
// UNIT1 the program of the fifth); false for a refusal, already reported.
bool PlayUnit(CommandManager& m, fields::Split& split, int sub, bool save) {
  const char* address = split.Trimmed(1);
  if (address == nullptr || !fields::DottedQuad(address) || strlen(address) > 15) {
    VYX_ERROR("mcastIp");
    return false;
  }
  // The port becomes a 16-bit socket port: one that does not fit, or 0, names
  // no stream the player could join.
  const char* portField = split.Trimmed(2);
  int port = 0;
  if (portField == nullptr || !fields::InRange(portField, 1, 65535, &port)) {
    VYX_ERROR("mcastPort");
    return false;
  }
  unsigned short program = 0;
  if (sub == 1) program = static_cast<unsigned short>(split.HexAt(4, 0));
  char group[16];
  snprintf(group, sizeof(group), "%s", address);
  if (!m.PlayLayer(group, static_cast<unsigned short>(port), program, 0)) {
    VYX_ERROR("Can't play layer");
    return false;
  }
  snprintf(m.mMulticastIpReceived, sizeof(m.mMulticastIpReceived), "%s", group);
  m.mMulticastPortReceived = static_cast<unsigned short>(port);
  m.mProgramReceived = program;
  if (save && !m.SaveDefaultStartupItem(unit_copy)) VYX_ERROR("Can't save default startup item\n");
  snprintf(m.mLastUnitCommand, CommandManager::kLastUnitCommandSize, "%s", unit_copy);
  set_process_pat(true);
  m.mLastUnitCommandId = sub;
  m.mAudioLanguagePri = 0;
  m.mAudioLanguageSec = 0;
  return true;
}

// Receiver UNIT0: stop the player's layers and forget the stream.
void StopUnit(CommandManager& m, bool save) {
  snprintf(stop_line, sizeof(stop_line), "%s", "-vs 50 50 100 100 0 0 0 -os 50 50 100 100 0 0 0 ");
  k720cmmd(stop_line);
  snprintf(stop_line, sizeof(stop_line), "%s", "-stopall");
  k720cmmd(stop_line);
  m.mMulticastPortReceived = 0;
  snprintf(m.mMulticastIpReceived, sizeof(m.mMulticastIpReceived), "%s", "0.0.0.0");
  m.mLastUnitCommand[0] = '\0';
  if (save && !m.SaveDefaultStartupItem(unit_copy)) VYX_ERROR("Can't save default startup item\n");
  set_process_pat(true);
  m.mLastUnitCommandId = 0;
  m.mAudioLanguagePri = 0;
  m.mAudioLanguageSec = 0;
}

}  // namespace

char* CommandManager::ProcessSelectChannelsToStream(char* cmd, bool save) {
  if (cmd == nullptr) return mKo;
  snprintf(unit_copy, sizeof(unit_copy) - 1, "%s", cmd);
  unit_copy[254] = '\0';

  if (mMyType != 'T') return BadType();
  if (UpgradeInProgress()) {
    VYX_LOG("Upgrade in progress - command rejected");
    return mKo;
  }
  if (mpTunerManager != nullptr && mpTunerManager->ScanState() == TunerManager::eScanInProgress) {
    VYX_LOG("Scan in progress - returning");
    return mKo;
  }
  if (mpTsf == nullptr) return mKo;

  // "UNIT", the digit, one separator, then the stream text.
  size_t len = strnlen(cmd, kCommandSize);
  char d = len > 4 ? cmd[4] : '\0';
  const char* text = len > 6 ? cmd + 6 : "";
  snprintf(unit_text, sizeof(unit_text), "%s", text);

  if (!RunStreamUnit(*this, d, unit_text)) return mKo;

  if (save && !SaveDefaultStartupItem(unit_copy)) VYX_ERROR("Can't save default startup item\n");
  mLastUnitCommandId = d;
  return mOk;
}

bool CommandManager::SetTunerMode(int tunerMode) {
  VYX_LOG("Setting the tuner mode to %d\n", tunerMode);
  switch (tunerMode) {
    case TunerManager::eATSC:
      snprintf(mTunerMode, sizeof(mTunerMode), "%s", "ATSC");
      break;
    case TunerManager::eQAM64:
      snprintf(mTunerMode, sizeof(mTunerMode), "%s", "QAM64");
      break;
    case TunerManager::eQAM256:
      snprintf(mTunerMode, sizeof(mTunerMode), "%s", "QAM256");
      break;
    default:
      snprintf(mTunerMode, sizeof(mTunerMode), "%s", "TUNER_ERR");
      VYX_ERROR("Invalid Tuner Mode: %s\n", mTunerMode);
      return false;
  }
  if (mpTunerManager != nullptr) mpTunerManager->SetMode(static_cast<TunerManager::TunerModeEnum>(tunerMode));
  if (mpSnmp != nullptr) mpSnmp->SnmpSet("%s i %d", ZernOid(eTUNER_MODE), tunerMode);
  vyx_sleep_s(1);
  return true;
}

// "TUNERMODE<n>": the mode stored and applied.  The receiver only checks
// that the disk can be remounted.
bool CommandManager::SaveTunerMode(const char* cmd) {
  int mode = -1;
  // No digit reads as mode 0 (ATSC).
  bool valid = fields::InRange(cmd, TunerManager::eATSC, TunerManager::eQAM256, &mode);
  if (mMyType != 'T' || !valid) {
    if (SystemManager::RemountHd(1, 1) != 0) {
      VYX_ERROR("Can't remount HD rw");
      return false;
    }
    SystemManager::RemountHd(1, 0);
    return mMyType != 'T';
  }
  int rc = SystemManager::WriteBetweenRemounts(1, kTunerModeFile, WriteTunerMode, &mode);
  if (rc < 0 && rc > kWriteFileOpenFailed) {
    VYX_ERROR("Can't remount HD rw");
    return false;
  }
  if (rc != 0)
    VYX_ERROR("Cant open tunermode file for w");
  else
    VYX_LOG("Saved mode %d\n", mode);
  SetTunerMode(mode);
  return true;
}

char* CommandManager::ProcessTunerModeAndDefaultStartupItem(char* cmd) {
  bool scanning = mpTunerManager != nullptr && mpTunerManager->ScanState() == TunerManager::eScanInProgress;

  if (cmd != nullptr) {
    // "TUNERMODE<n>": store and apply the tuner mode.
    if (scanning) return mKo;
    return SaveTunerMode(cmd) ? mOk : mKo;
  }

  // Start-up: restore the tuner mode, then replay the default start-up item.
  if (scanning) return nullptr;
  if (SystemManager::RemountHd(1, 1) != 0) {
    VYX_ERROR("Can't remount HD rw");
    return nullptr;
  }
  if (mMyType == 'T') {
    int mode = 0;  // no file: ATSC
    FILE* f = fopen(kTunerModeFile, "r");
    if (f != nullptr) {
      char text[kTunerModeFileLimit + 1];
      size_t n = fread(text, 1, kTunerModeFileLimit, f);
      fclose(f);
      text[n] = '\0';
      // A damaged file: the default mode, said once.
      if (!fields::InRange(text, TunerManager::eATSC, TunerManager::eQAM256, &mode)) {
        VYX_ERROR("Damaged tunermode file (%zu bytes): mode 0", n);
        mode = 0;
      }
    }
    SetTunerMode(mode);
  }

  mCommand[0] = '\0';
  FILE* f = fopen(kDefaultStartupFile, "r");
  if (f == nullptr) {
    VYX_ERROR("Can't open def startup file");
  } else {
    size_t n = fread(mCommand, 1, kDefaultStartupLimit, f);
    fclose(f);
    mCommand[n] = '\0';
    // A command is printable text: what follows a stray byte is not used.
    size_t text = 0;
    while (text < n && mCommand[text] >= 0x20 && mCommand[text] < 0x7F) ++text;
    if (text < n) {
      VYX_ERROR("Damaged def startup file: %zu of %zu bytes used", text, n);
      mCommand[text] = '\0';
    }
  }
  SystemManager::RemountHd(1, 0);

  if (mCommand[0] != '\0' && strncasecmp(mCommand, "UNIT0", 5) != 0) {
    while (BeaconGetCount() == 0) {
      VYX_LOG("Waiting for Network Ready before playing default startup item...");
      vyx_sleep_ms(500);
    }
    VYX_LOG("Playing Default Startup Item: %s\n", mCommand);
    if (mMyType == 'R')
      ProcessSelectChannelsToPlay(mCommand, false);
    else
      ProcessSelectChannelsToStream(mCommand, false);
  } else {
    VYX_LOG("Default startup item is empty");
  }
  return nullptr;
}

char* CommandManager::ProcessSelectChannelsToPlay(char* cmd, bool save) {
  if (cmd == nullptr) return mKo;
  snprintf(unit_copy, sizeof(unit_copy) - 1, "%s", cmd);
  unit_copy[254] = '\0';

  if (mMyType != 'R') return BadType();
  if (UpgradeInProgress()) {
    VYX_LOG("Upgrade in progress - command rejected");
    return mKo;
  }
  VYX_LOG("Processing cmd %s\n", cmd);

  // subcommand, address, port[, ignored, program id (hex)[, video, audio type]]
  size_t len = strnlen(cmd, kCommandSize);
  fields::Split split(len > 4 ? cmd + 4 : "", ',');
  const char* first = split.At(0);
  int sub = 0;
  if (first == nullptr || first[0] == '\0') {
    VYX_ERROR("Invalid UNIT cmd");
  } else {
    sub = fields::Decimal(first);
  }

  // Forget what plays now.
  memset(mMulticastIpReceived, 0, sizeof(mMulticastIpReceived));
  mMulticastPortReceived = 0;
  mProgramReceived = 0;
  set_process_pat(false);
  vyx_sleep_ms(200);
  if (mpTunerManager != nullptr) mpTunerManager->CleanScalProgramDescriptors();
  if (mpTsf != nullptr) mpTsf->CleanPacketIdMap();

  if (sub == 1 || sub == 3) return PlayUnit(*this, split, sub, save) ? mOk : mKo;
  if (sub == 0) {
    StopUnit(*this, save);
    return mOk;
  }
  VYX_ERROR("Invalid UNIT cmd");
  return mKo;
}
