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
#include "services/k720cmmd.h"
#include "snmplocal.h"
#include "systemmanager.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "core/vyxlibmain.h"
#include "zernsnmp.h"

namespace {

const char kTunerModeFile[] = "/mnt/hd1/vyx_tunermode";
const char kDefaultStartupFile[] = "/mnt/hd1/vyx_def_startup";
const int kDefaultStartupLimit = 1024;  // bytes read back of the start-up item
const int kTunerModeFileLimit = 6;      // bytes read back of the tuner mode
const int kMaxStreams = 8;              // stream numbers 0..7

// Copy of the command as it will be saved (first 254 characters).
char unit_copy[256];
// Writable copy of the stream text handed to StartMulticast (which splits it
// in place); as long as the longest command datagram.
char unit_text[CommandManager::kReceiveLimit + 1];

// Decimal number at the start of `text` (leading blanks allowed).  False when
// there is no digit or the value does not fit an int.
bool ParseDecimal(const char* text, int* value) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v > INT_MAX || v < INT_MIN) return false;
  *value = static_cast<int>(v);
  return true;
}

// Stream number of "UNIT4"/"UNIT5": the decimal text before the first comma
// (or the whole text when there is none), which must lie in 0..7.
bool ParseStreamNumber(const char* text, int* stream) {
  char number[16];
  size_t n = strcspn(text, ",");
  if (n == 0 || n >= sizeof(number)) return false;
  memcpy(number, text, n);
  number[n] = '\0';
  char* end = nullptr;
  long v = strtol(number, &end, 10);
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') end++;
  if (end == number || *end != '\0' || v < 0 || v >= kMaxStreams) return false;
  *stream = static_cast<int>(v);
  return true;
}

// Receiver: fields of the command after "UNIT", split in place.
char play_fields[CommandManager::kReceiveLimit + 1];
// Player command lines of the stop (split in place by the channel).
char stop_line[64];

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

  switch (d) {
    case '0':
      mpTsf->StopMulticast(-1, true);
      break;
    case '2': {
      // Only address, port and channel: cut at the third comma when it comes
      // early enough to be the one after the channel.
      int commas = 0;
      for (int i = 0; i < 48 && unit_text[i] != '\0'; i++) {
        if (unit_text[i] == ',' && ++commas == 3) {
          unit_text[i] = '\0';
          break;
        }
      }
      [[fallthrough]];
    }
    case '1':
      mpTsf->StopMulticast(-1, true);
      vyx_sleep_ms(100);
      if (!mpTsf->StartMulticast(0, unit_text)) {
        VYX_ERROR("Can't start multicast");
        return mKo;
      }
      break;
    case '3':
      VYX_ERROR("This command is only for receiver\n");
      return mKo;
    case '4':
    case '5': {
      int stream = 0;
      if (!ParseStreamNumber(unit_text, &stream)) {
        VYX_ERROR("Invalid stream number in UNIT%c: %s", d, unit_text);
        return mKo;
      }
      char* comma = strchr(unit_text, ',');
      // Starting a stream needs its text after the stream number.
      if (d == '4' && comma == nullptr) {
        VYX_ERROR("UNIT4 without stream text");
        return mKo;
      }
      mpTsf->StopMulticast(0, true);
      mpTsf->StopMulticast(stream, true);
      if (d == '4') {
        vyx_sleep_s(1);
        if (!mpTsf->StartMulticast(stream, comma + 1)) {
          VYX_ERROR("Can't start multicast");
          return mKo;
        }
      }
      break;
    }
    default:
      printf("Unknown UNIT command: %c\n", d);
      return mKo;
  }

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

char* CommandManager::ProcessTunerModeAndDefaultStartupItem(char* cmd) {
  bool scanning = mpTunerManager != nullptr && mpTunerManager->ScanState() == TunerManager::eScanInProgress;

  if (cmd != nullptr) {
    // "TUNERMODE<n>": store and apply the tuner mode.
    if (scanning) return mKo;
    if (SystemManager::RemountHd(1, 1) != 0) {
      VYX_ERROR("Can't remount HD rw");
      return mKo;
    }
    if (mMyType == 'T') {
      int mode = -1;
      if (!ParseDecimal(cmd, &mode) || mode < TunerManager::eATSC || mode > TunerManager::eQAM256) {
        SystemManager::RemountHd(1, 0);
        return mKo;
      }
      FILE* f = fopen(kTunerModeFile, "w");
      if (f == nullptr) {
        VYX_ERROR("Cant open tunermode file for w");
      } else {
        char text[16];
        snprintf(text, sizeof(text), "%d\n", mode);
        fputs(text, f);
        fclose(f);
        VYX_LOG("Saved mode %s\n", text);
      }
      SetTunerMode(mode);
    }
    SystemManager::RemountHd(1, 0);
    return mOk;
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
      if (!ParseDecimal(text, &mode)) mode = 0;
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
  snprintf(play_fields, sizeof(play_fields), "%s", len > 4 ? cmd + 4 : "");
  char* field[7] = {nullptr};
  field[0] = mystrtok(play_fields, ",");
  for (int i = 1; i < 7; i++) field[i] = mystrtok(nullptr, ",");

  int sub = 0;
  if (field[0] == nullptr || !ParseDecimal(field[0], &sub)) {
    VYX_ERROR("Invalid UNIT cmd");
    sub = 0;
  }

  // Forget what plays now.
  memset(mMulticastIpReceived, 0, sizeof(mMulticastIpReceived));
  mMulticastPortReceived = 0;
  mProgramReceived = 0;
  set_process_pat(false);
  vyx_sleep_ms(200);
  if (mpTunerManager != nullptr) mpTunerManager->CleanScalProgramDescriptors();
  if (mpTsf != nullptr) mpTsf->CleanPacketIdMap();

  if (sub == 1 || sub == 3) {
    char* address = field[1];
    if (address == nullptr || !is_valid_ip(address) || strlen(address) > 15) {
      VYX_ERROR("mcastIp");
      return mKo;
    }
    int port = 0;
    if (field[2] == nullptr || !ParseDecimal(field[2], &port) || port <= 0 || port > 65535) {
      VYX_ERROR("mcastPort");
      return mKo;
    }
    unsigned short program = 0;
    if (sub == 1 && field[4] != nullptr) program = static_cast<unsigned short>(hatoi(field[4]));
    if (!PlayLayer(address, static_cast<unsigned short>(port), program, 0)) {
      VYX_ERROR("Can't play layer");
      return mKo;
    }
    snprintf(mMulticastIpReceived, sizeof(mMulticastIpReceived), "%s", address);
    mMulticastPortReceived = static_cast<unsigned short>(port);
    mProgramReceived = program;
    if (save && !SaveDefaultStartupItem(unit_copy)) VYX_ERROR("Can't save default startup item\n");
    snprintf(mLastUnitCommand, kLastUnitCommandSize, "%s", unit_copy);
    set_process_pat(true);
    mLastUnitCommandId = sub;
    mAudioLanguagePri = 0;
    mAudioLanguageSec = 0;
    return mOk;
  }

  if (sub == 0) {
    snprintf(stop_line, sizeof(stop_line), "%s", "-vs 50 50 100 100 0 0 0 -os 50 50 100 100 0 0 0 ");
    k720cmmd(stop_line);
    snprintf(stop_line, sizeof(stop_line), "%s", "-stopall");
    k720cmmd(stop_line);
    mMulticastPortReceived = 0;
    snprintf(mMulticastIpReceived, sizeof(mMulticastIpReceived), "%s", "0.0.0.0");
    mLastUnitCommand[0] = '\0';
    if (save && !SaveDefaultStartupItem(unit_copy)) VYX_ERROR("Can't save default startup item\n");
    set_process_pat(true);
    mLastUnitCommandId = 0;
    mAudioLanguagePri = 0;
    mAudioLanguageSec = 0;
    return mOk;
  }

  VYX_ERROR("Invalid UNIT cmd");
  return mKo;
}
