// Language and caption handlers of the command manager: "LANG" (the
// transmitter's audio language filter; on the receiver the audio PID of the
// played program, replayed through the player) and "SUBS" (the receiver's
// caption service).

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "core/fields.h"
#include "sharedmem.h"
#include "snmplocal.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "zernsnmp.h"

namespace {

constexpr int kMaxCaptionService = 6;

// The text after a four-letter keyword, without leading blanks.
const char* Argument(const char* cmd) {
  const char* p = strnlen(cmd, 4) == 4 ? cmd + 4 : "";
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

}  // namespace

char* CommandManager::ProcessSetLanguage(char* cmd, int /*len*/) {
  if (cmd == nullptr) return mKo;
  const char* args = Argument(cmd);
  char priLang[4] = "eng";
  char secLang[4] = "eng";
  int priType = 0;
  int secType = 0;
  mAudioLanguagePri = 0;
  mAudioLanguageSec = 0;

  // Blanks and line ends around a field are not part of it; an empty field
  // is missing and keeps its default.
  fields::Split split(args, ',');
  const char* field;
  if ((field = split.Trimmed(0)) != nullptr) {
    snprintf(priLang, sizeof(priLang), "%.3s", field);
    VYX_LOG("ProcessSetLanguage - PriLang: %s\n", priLang);
  }
  if ((field = split.Trimmed(1)) != nullptr) {
    priType = static_cast<int>(fields::Hex(field));
    VYX_LOG("ProcessSetLanguage - PriLangType: %d\n", priType);
  }
  if ((field = split.Trimmed(2)) != nullptr) {
    snprintf(secLang, sizeof(secLang), "%.3s", field);
    VYX_LOG("ProcessSetLanguage - SecLang: %s\n", secLang);
  }
  if ((field = split.Trimmed(3)) != nullptr) {
    secType = static_cast<int>(fields::Hex(field));
    VYX_LOG("ProcessSetLanguage - SecLangType: %d\n", secType);
  }

  if (mMyType == 'T') {
    if (mpTsf == nullptr) return mKo;
    return mpTsf->SetLanguageFilter(priLang, priType, secLang, secType) ? mOk : mKo;
  }

  mAudioLanguagePri = mpTunerManager->GetAudioPid(priLang, priType);
  mAudioLanguageSec = mpTunerManager->GetAudioPid(secLang, secType);
  VYX_LOG("Rx: Languages translated to the following pids: Pri 0x%x, Sec 0x%x\n", mAudioLanguagePri,
          mAudioLanguageSec);
  if (mAudioLanguagePri < 1) mAudioLanguagePri = mAudioLanguageSec;
  if (mMulticastIpReceived[0] != '\0' && mMulticastPortReceived != 0) {
    bool played = PlayLayer(mMulticastIpReceived, mMulticastPortReceived,
                            SharedMem::Self()->GetProgramReceivedReceiver(), mAudioLanguagePri);
    return played ? mOk : mKo;
  }
  return mOk;
}

char* CommandManager::ProcessSetSubtitles(char* cmd, int /*len*/) {
  if (cmd == nullptr) return mKo;
  if (mMyType == 'T') {
    VYX_LOG("Can't filter subtitles on the transmitter\n");
    return mOk;
  }
  const char* args = Argument(cmd);
  fields::Split split(args, ',');
  const char* field = split.Trimmed(0);
  if (field == nullptr) return mKo;
  int service = fields::Decimal(field);
  if (strncasecmp(field, "OFF", 3) == 0 || service < 1 || service > kMaxCaptionService) service = 0;
  mCCIndex = service;
  if (mpSnmp->SnmpSet("%s i %d", ZernOid(eCLOSE_CAPTION), service) == nullptr) {
    VYX_ERROR("close caption play");
    return mKo;
  }
  return mOk;
}
