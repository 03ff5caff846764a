// Display handlers: video scaling, the browser window, the IR system code
// and the output resolution.

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "services/ircontrol.h"
#include "services/k720cmmd.h"
#include "sharedmem.h"
#include "snmplocal.h"
#include "utils.h"
#include "zernsnmp.h"

namespace {

const char kBlankPage[] = "/mnt/hd1/bplayer_app/data/blankPage.html";

// Frame the browser window is given in.
constexpr int kFrameWidth = 1280;
constexpr int kFrameHeight = 768;

// Player command lines, built afresh for each call (the channel splits them
// in place).  Large enough for the longest URL line.
char display_line[CommandManager::kUrlSize + 160];
// Fields of a command, split in a copy so that mCommand keeps the command.
char display_fields[CommandManager::kReceiveLimit + 1];
char url_key_line[16];
// The receiver's last UNIT, replayed after a resolution change.
char resolution_unit[CommandManager::kLastUnitCommandSize];
char resolution_stop[8];

// A whole decimal number (blanks around it allowed); false for junk.
bool Decimal(const char* text, long* value) {
  if (text == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (end == text || errno != 0) return false;
  while (*end == ' ' || *end == '\r' || *end == '\n') ++end;
  if (*end != '\0') return false;
  *value = v;
  return true;
}

// A field in [lo, hi] into *out; a missing, junk or out-of-range field
// leaves *out as it was.
void TakeField(const char* field, long lo, long hi, int* out) {
  long v = 0;
  if (field != nullptr && Decimal(field, &v) && v >= lo && v <= hi) *out = static_cast<int>(v);
}

}  // namespace

char* CommandManager::ProcessVscaleCommand(char* cmd, int len) {
  if (cmd == nullptr) return mKo;
  if (len < 0 || len > kReceiveLimit) len = kReceiveLimit;
  size_t n = strnlen(cmd, static_cast<size_t>(len));
  memcpy(display_fields, cmd, n);
  display_fields[n] = '\0';
  // Defaults for missing fields: centred, full screen, opaque.
  static const long kDefault[5] = {50, 50, 100, 100, 255};
  static const long kMax[5] = {100, 100, 100, 100, 255};
  long value[5];
  // The text before the first comma (the keyword) is not a field.
  char* rest = strchr(display_fields, ',');
  char* field = rest != nullptr ? mystrtok(rest + 1, ",") : nullptr;
  for (int i = 0; i < 5; i++) {
    if (i > 0) field = rest != nullptr ? mystrtok(nullptr, ",") : nullptr;
    value[i] = kDefault[i];
    if (field == nullptr) continue;
    if (!Decimal(field, &value[i]) || value[i] < 0 || value[i] > kMax[i]) {
      VYX_LOG("VSCALE: bad field %d\n", i);
      return mKo;
    }
  }
  long cx = value[0] + value[2] / 2;
  long cy = value[1] + value[3] / 2;
  snprintf(display_line, sizeof(display_line), "-ps %ld %ld %ld %ld 0 %ld 0 -vs %ld %ld %ld %ld 0 %ld 0", cx, cy,
           value[2], value[3], value[4], cx, cy, value[2], value[3], value[4]);
  k720cmmd(display_line);
  return mOk;
}

char* CommandManager::ProcessUrlSet(char* cmd) {
  if (mMyType != 'R' || mUrl == nullptr) {
    VYX_ERROR("Rx only");
    return mKo;
  }
  if (cmd == nullptr) return mKo;
  const char* text = strnlen(cmd, 3) == 3 ? cmd + 3 : "";

  if (strncasecmp(text, "key", 3) == 0) {
    // "URLkey13", "URLkey 13": the number from the seventh character on.
    long key = -1;
    if (strnlen(cmd, 6) < 6 || !Decimal(cmd + 6, &key) || key < 0 || key > 65534) return mKo;
    snprintf(url_key_line, sizeof(url_key_line), "-k%ld", key);
    return sendMessgageToKonqueror(1, url_key_line) == 0 ? mOk : mKo;
  }

  size_t n = strnlen(text, kReceiveLimit);
  memcpy(display_fields, text, n);
  display_fields[n] = '\0';
  // The URL buffer takes 1023 characters; a longer one cannot be shown.
  const char* comma = strchr(display_fields, ',');
  size_t urlLength = comma != nullptr ? static_cast<size_t>(comma - display_fields) : n;
  if (urlLength >= static_cast<size_t>(kUrlSize)) {
    VYX_ERROR("URL too long: %u characters", static_cast<unsigned>(urlLength));
    return mKo;
  }

  // Empty fields count as missing and keep what is stored.
  char* url = mystrtok(display_fields, ",");
  char* field[6];
  for (int i = 0; i < 6; i++) field[i] = mystrtok(nullptr, ",");
  TakeField(field[0], -kFrameWidth, kFrameWidth, &mUrlXposition);
  TakeField(field[1], -kFrameHeight, kFrameHeight, &mUrlYposition);
  TakeField(field[2], 0, kFrameWidth, &mUrlWidth);
  TakeField(field[3], 0, kFrameHeight, &mUrlHeight);
  TakeField(field[4], 0, 255, &mUrlAlphaBrowser);
  TakeField(field[5], 0, 255, &mUrlAlphaVideo);

  if (url != nullptr && strncmp(url, mUrl, kUrlSize) != 0) {
    if (url[0] == '0' || strcmp(url, "blank") == 0)
      snprintf(mUrl, kUrlSize, "%s", kBlankPage);
    else
      snprintf(mUrl, kUrlSize, "%s", url);
  }

  // Percent of the frame; each product divided on its own.
  int cx = mUrlXposition * 100 / kFrameWidth + mUrlWidth * 50 / kFrameWidth;
  int cy = mUrlYposition * 100 / kFrameHeight + mUrlHeight * 50 / kFrameHeight;
  int widthPercent = mUrlWidth * 100 / kFrameWidth;
  int heightPercent = mUrlHeight * 100 / kFrameHeight;
  snprintf(display_line, sizeof(display_line),
           "-ps 50 50 100 100 0 %d 0 -vs 50 50 100 100 0 %d 0 -browser %s 0 %d %d %d %d 0 %d 0 ", mUrlAlphaVideo,
           mUrlAlphaVideo, mUrl, cx, cy, widthPercent, heightPercent, mUrlAlphaBrowser);
  k720cmmd(display_line);

  mBrowserUp = mUrlAlphaBrowser > 0 && mUrlAlphaVideo < 255;
  bool captions = mpSnmp->SnmpSet("%s i %d", ZernOid(eCLOSE_CAPTION), mBrowserUp ? 0 : mCCIndex) != nullptr;
  if (!captions) {
    VYX_ERROR("close caption play");
    return mKo;
  }
  if (mpIrControl != nullptr) mpIrControl->BrowserRunning(mBrowserUp);
  VYX_LOG("Done with URL command\n");
  return mOk;
}

char* CommandManager::ProcessRemoteCommand(char* cmd) {
  unsigned int code = hatoi(cmd);
  if (code >= 1 && code <= 254) {
    VYX_LOG("Setting IR mode code to %.4x. Previous was %.4x\n", code, SharedMem::Self()->IrModeCode());
    SharedMem::Self()->IrModeCode(static_cast<unsigned short>(code));
    return mOk;
  }
  VYX_LOG("Invalid IR mode code received: %d.\n", static_cast<int>(code));
  return mKo;
}

char* CommandManager::ProcessResolution(char* cmd, int len) {
  (void)len;
  if (mMyType != 'R' || cmd == nullptr) return mKo;
  char* answer = mpSnmp->SnmpGet(ZernOid(eVIDEO_RESOLUTION));
  long current = 0;
  if (answer == nullptr || !Decimal(answer, &current)) return mKo;
  if (cmd[0] == '?') return FormatReply(cmd, "RESOLUTION%ld OK\r\n", current);

  long wanted = 0;
  if (!Decimal(cmd, &wanted) || wanted < INT_MIN || wanted > INT_MAX) return mKo;
  if (wanted == current) {
    VYX_LOG("Same resolution %ld, nothing to do\n", wanted);
    return mOk;
  }
  VYX_LOG("Setting resolution to %ld\n", wanted);
  answer = mpSnmp->SnmpSet("%s i %ld", ZernOid(eVIDEO_RESOLUTION), wanted);
  long set = 0;
  if (answer == nullptr || !Decimal(answer, &set) || set != wanted) {
    VYX_ERROR("Failed to set resolution: %ld, reply: %.64s", wanted, answer != nullptr ? answer : "(none)");
    return mKo;
  }
  mpSnmp->SnmpSet("%s i %d", ZernOid(eCONFIG_SAVE), 1);

  // Stop what plays, give the player time to change its output, and play it
  // again.
  snprintf(resolution_unit, sizeof(resolution_unit) - 1, "%s", mLastUnitCommand);
  resolution_unit[sizeof(resolution_unit) - 2] = '\0';
  snprintf(resolution_stop, sizeof(resolution_stop), "%s", "UNIT0");
  ProcessSelectChannelsToPlay(resolution_stop, false);
  vyx_sleep_s(5);
  if (resolution_unit[0] != '\0') ProcessSelectChannelsToPlay(resolution_unit, false);
  return mOk;
}
