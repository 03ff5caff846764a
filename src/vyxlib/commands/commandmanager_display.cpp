// Display handlers: video scaling, the browser window, the IR system code
// and the output resolution.

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "core/fields.h"
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
char url_key_line[16];
// The receiver's last UNIT, replayed after a resolution change.
char resolution_unit[CommandManager::kLastUnitCommandSize];
char resolution_stop[8];

// A window field in [lo, hi] into *out; a missing, empty or out-of-range
// field leaves *out as it was.
void TakeWindowField(const char* field, int lo, int hi, int* out) {
  if (field != nullptr && field[0] != '\0') fields::InRange(field, lo, hi, out);
}

}  // namespace

char* CommandManager::ProcessVscaleCommand(char* cmd, int len) {
  if (cmd == nullptr) return mKo;
  if (len < 0 || len > kReceiveLimit) len = kReceiveLimit;
  // The text before the first comma (the keyword) is not a field; an empty
  // field is missing and takes its default: centred, full screen, opaque.
  fields::Split split(cmd, ',', len);
  static const int kDefault[5] = {50, 50, 100, 100, 255};
  static const int kMax[5] = {100, 100, 100, 100, 255};
  int value[5];
  for (int i = 0; i < 5; i++) {
    const char* field = split.At(i + 1);
    value[i] = kDefault[i];
    if (field == nullptr || field[0] == '\0') continue;
    if (!fields::InRange(field, 0, kMax[i], &value[i])) {
      VYX_LOG("VSCALE: bad field %d\n", i);
      return mKo;
    }
  }
  int cx = value[0] + value[2] / 2;
  int cy = value[1] + value[3] / 2;
  snprintf(display_line, sizeof(display_line), "-ps %d %d %d %d 0 %d 0 -vs %d %d %d %d 0 %d 0", cx, cy,
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
    // "URLkey13", "URLkey 13": the number from the seventh character on, as
    // far as it goes ("URLkey" alone is key 0).
    int key = 0;
    if (!fields::InRange(strnlen(cmd, 6) < 6 ? "" : cmd + 6, 0, 65534, &key)) return mKo;
    snprintf(url_key_line, sizeof(url_key_line), "-k%d", key);
    return sendMessgageToKonqueror(1, url_key_line) == 0 ? mOk : mKo;
  }

  // The URL buffer takes 1023 characters; a longer one cannot be shown.
  fields::Split split(text, ',', kReceiveLimit);
  const char* url = split.At(0);
  if (url != nullptr && strlen(url) >= static_cast<size_t>(kUrlSize)) {
    VYX_ERROR("URL too long: %u characters", static_cast<unsigned>(strlen(url)));
    return mKo;
  }
  if (url != nullptr && url[0] == '\0') url = nullptr;  // empty: the stored URL

  // Empty fields count as missing, out-of-range ones are ignored: both keep
  // what is stored.
  TakeWindowField(split.At(1), -kFrameWidth, kFrameWidth, &mUrlXposition);
  TakeWindowField(split.At(2), -kFrameHeight, kFrameHeight, &mUrlYposition);
  TakeWindowField(split.At(3), 0, kFrameWidth, &mUrlWidth);
  TakeWindowField(split.At(4), 0, kFrameHeight, &mUrlHeight);
  TakeWindowField(split.At(5), 0, 255, &mUrlAlphaBrowser);
  TakeWindowField(split.At(6), 0, 255, &mUrlAlphaVideo);

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
  unsigned int code = fields::Hex(cmd);
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
  if (answer == nullptr) return mKo;
  const int current = fields::Decimal(answer);
  if (cmd[0] == '?') return FormatReply(cmd, "RESOLUTION%d OK\r\n", current);

  // An empty text asks for resolution 0; a number beyond an int is refused.
  if (fields::Overflows(cmd)) return mKo;
  const int wanted = fields::Decimal(cmd);
  if (wanted == current) {
    VYX_LOG("Same resolution %d, nothing to do\n", wanted);
    return mOk;
  }
  VYX_LOG("Setting resolution to %d\n", wanted);
  answer = mpSnmp->SnmpSet("%s i %d", ZernOid(eVIDEO_RESOLUTION), wanted);
  if (answer == nullptr || fields::Decimal(answer) != wanted) {
    VYX_ERROR("Failed to set resolution: %d, reply: %.64s", wanted, answer != nullptr ? answer : "(none)");
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
