// Per-program audio languages and caption services, fed by the PMT analysis
// on the filter thread (no allocation: entries come from the pool).

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/reportdue.h"
#include "sharedmem.h"
#include "core/scopedlock.h"
#include "tuner/tunermanager.h"
#include "udpcom.h"
#include "utils.h"

namespace {
}  // namespace

ScalProgramDesc* TunerManager::FindProgramLocked(ushort programId) {
  ScalProgramList* list = GetScalProgramDesc(-1);
  if (list == nullptr) return nullptr;
  for (ScalProgramDesc* p = list->head; p != nullptr; p = p->pNext)
    if (p->channelId == mCurrentChannel && p->programId == programId) return p;
  return nullptr;
}

bool TunerManager::AgeLanguagesLocked(ScalProgramDesc* prog, const char* langCode, int langType,
                                      ushort pid) {
  // Every announcement ages all entries of the program by one; an entry not
  // announced again within LANG_CNT calls goes.  The whole list is walked
  // even after the announced entry was found, so that an entry listed after
  // a still-announced one ages too.
  Language* known = nullptr;
  Language* prev = nullptr;
  Language* l = prog->language.head;
  while (l != nullptr) {
    Language* next = l->pNext;
    if (--l->languageCount <= 0) {
      VYX_LOG("=== Removing no longer transmitted language %s\n", l->language);
      if (prev != nullptr)
        prev->pNext = next;
      else
        prog->language.head = next;
      if (prog->language.tail == l) prog->language.tail = prev;
      --prog->language.count;
      FreeLanguage(l);
      l = next;
      continue;
    }
    if (known == nullptr && strncmp(l->language, langCode, 3) == 0 && l->audioType == langType &&
        l->audioPid == pid)
      known = l;
    prev = l;
    l = next;
  }
  if (known == nullptr) return false;
  known->languageCount = LANG_CNT;  // known entry refreshed
  return true;
}

bool TunerManager::SetLanguageForProgram(ushort transportId, ushort progamId, char* langCode,
                                         Language::LanguageModeEnum langMode, int langType,
                                         ushort pid, int captionServiceNum) {
  if (langCode == nullptr) return false;
  Language* entry = nullptr;
  unsigned int dropped = 0;
  {
    ScopedLock lock(&mMutex);
    ScalProgramDesc* prog = FindProgramLocked(progamId);
    if (prog == nullptr || AgeLanguagesLocked(prog, langCode, langType, pid)) return false;
    entry = AllocLanguage();
    if (entry == nullptr) {
      dropped = mLanguagesDropped++;
    } else {
      strncpy(entry->language, langCode, 3);
      entry->language[3] = 0;
      entry->audioType = langType;
      entry->audioPid = pid;
      entry->languageCount = LANG_CNT;
      entry->languageMode = langMode;
      entry->captionServiceNum = captionServiceNum;
      entry->captionType = 0;
      entry->pNext = nullptr;
      if (prog->language.tail != nullptr)
        prog->language.tail->pNext = entry;
      else
        prog->language.head = entry;
      prog->language.tail = entry;
      ++prog->language.count;
    }
  }
  // Logged once the lock is given back.
  if (entry == nullptr) {
    VYX_LOG_LIMITED("SetLanguageForProgram: no language entry left (%d), prid %x pid %x dropped (%u)\n",
                    kLanguagePool, progamId, pid, dropped + 1);
    return false;
  }
  VYX_LOG("=== Add new lang %s mode %d for trid %x prid %x pid %x\n", entry->language, langMode,
          transportId, progamId, pid);
  return true;
}

// ---- command-thread queries ----

namespace {
// The LAN?/SUB? answer: one line per program of the channel, each with at
// most a few dozen entries; cut (never overrun) should a channel hold more.
char lang_answer[4096];

// Appends to lang_answer; false once it is full.
bool AnswerAppend(size_t* len, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool AnswerAppend(size_t* len, const char* fmt, ...) {
  if (*len + 1 >= sizeof(lang_answer)) return false;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(lang_answer + *len, sizeof(lang_answer) - *len, fmt, ap);
  va_end(ap);
  if (n < 0 || *len + static_cast<size_t>(n) >= sizeof(lang_answer)) {
    *len = sizeof(lang_answer) - 1;
    return false;
  }
  *len += static_cast<size_t>(n);
  return true;
}
}  // namespace

char* TunerManager::GetLanguagesOrSubtitles(Language::LanguageModeEnum mode, char* /*buffer*/) {
  // "OK\r\n" always fits after the lines: they stop short of it.
  const size_t kRoomForOk = 5;
  size_t len = 0;
  lang_answer[0] = '\0';
  {
    ScopedLock lock(&mMutex);
    ScalProgramList* list = GetScalProgramDesc(-1);
    for (ScalProgramDesc* p = list != nullptr ? list->head : nullptr; p != nullptr; p = p->pNext) {
      if (p->channelId != mCurrentChannel) continue;
      char line[512];
      int n = snprintf(line, sizeof(line), "%s %.4x %.4x ", mode == Language::eAudio ? "LANG" : "SUB",
                       p->transportId, p->programId);
      const char* sep = "";
      for (Language* l = p->language.head; l != nullptr && n > 0 && n < static_cast<int>(sizeof(line));
           l = l->pNext) {
        if (l->languageMode != mode) continue;
        VYX_LOG("itl->languageMode %d, mode %d, lang %s, pid %x\n", l->languageMode, mode, l->language,
                l->audioPid);
        if (mode == Language::eAudio)
          n += snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "%s%.3s%.2d", sep, l->language,
                        l->audioType);
        else
          n += snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "%s%.3s", sep, l->language);
        sep = ",";
      }
      if (n < 0 || n >= static_cast<int>(sizeof(line)) - 2) n = static_cast<int>(sizeof(line)) - 3;
      line[n] = '\0';
      if (len + static_cast<size_t>(n) + 2 + kRoomForOk >= sizeof(lang_answer)) break;
      AnswerAppend(&len, "%s\r\n", line);
    }
  }
  AnswerAppend(&len, "OK\r\n");
  VYX_LOG("\n%s\n", lang_answer);
  ScopedLock lock(&mMutex);
  if (mpUdp != nullptr && mpUdp->Send(lang_answer, static_cast<int>(len)) < 0)
    fprintf(stderr, "sendto() - 2 errno %d\n", errno);
  return nullptr;
}

// The entry of the played program with this mode and code (and, for audio,
// this type): its PID or service number through *value.  Under mMutex.
bool TunerManager::FindPlayedLanguage(Language::LanguageModeEnum mode, const char* code, int type,
                                      int* value) {
  ScalProgramList* list = GetScalProgramDesc(-1);
  int played = SharedMem::Self()->GetProgramReceivedReceiver();
  for (ScalProgramDesc* p = list != nullptr ? list->head : nullptr; p != nullptr; p = p->pNext) {
    if (p->channelId != mCurrentChannel || p->programId != played) continue;
    for (Language* l = p->language.head; l != nullptr; l = l->pNext) {
      if (l->languageMode != mode || strncmp(l->language, code, 3) != 0) continue;
      if (mode == Language::eAudio && l->audioType != type) continue;
      *value = mode == Language::eAudio ? l->audioPid : l->captionServiceNum;
      return true;
    }
  }
  return false;
}

int TunerManager::GetAudioPid(char* language, int audioType) {
  if (language == nullptr) return 0;
  // The PMT of a program just selected may still be on its way.
  for (int attempt = 0; attempt < 3; attempt++) {
    VYX_LOG("Trying to find pid for audio language %c%c%c, type %d for programId 0x%x, attempt %d\n",
            language[0], language[0] ? language[1] : ' ', language[0] && language[1] ? language[2] : ' ',
            audioType, SharedMem::Self()->GetProgramReceivedReceiver(), attempt);
    int pid = 0;
    bool found = false;
    {
      ScopedLock lock(&mMutex);
      found = FindPlayedLanguage(Language::eAudio, language, audioType, &pid);
    }
    if (found) {
      VYX_LOG("Found audio in %.3s, pid 0x%x\n", language, pid);
      return pid;
    }
    vyx_sleep_s(1);
  }
  return 0;
}

int TunerManager::GetSubtitleIndex(char* language) {
  if (language == nullptr) return -1;
  for (int attempt = 0; attempt < 3; attempt++) {
    int service = -1;
    bool found = false;
    {
      ScopedLock lock(&mMutex);
      found = FindPlayedLanguage(Language::eCaption, language, 0, &service);
    }
    if (found) {
      VYX_LOG("Found caption in %.3s, service_number %d\n", language, service);
      return service;
    }
    vyx_sleep_s(1);
  }
  return -1;
}

void TunerManager::DumpLanguageInfo() {
  // A trace of the moment: the lists are walked under the lock so that the
  // filter thread cannot free an entry being printed.
  ScopedLock lock(&mMutex);
  ScalProgramList* list = GetScalProgramDesc(-1);
  for (ScalProgramDesc* p = list != nullptr ? list->head : nullptr; p != nullptr; p = p->pNext) {
    if (p->channelId != mCurrentChannel) continue;
    VYX_LOG("\n=== LANGUAGE LIST for trid 0x%x, prid 0x%x ===\n", p->transportId, p->programId);
    for (Language* l = p->language.head; l != nullptr; l = l->pNext) {
      if (l->languageMode == Language::eAudio)
        VYX_LOG("=== language %s, %s 0x%x, %s 0x%x\n", l->language, "type", l->audioType, "pid",
                l->audioPid);
      else
        VYX_LOG("=== language %s, %s 0x%x, %s 0x%x\n", l->language, "type", l->captionType,
                "service", l->captionServiceNum);
    }
  }
}
