// Per-program audio languages and caption services, fed by the PMT analysis
// on the filter thread (no allocation: entries come from the pool).

#include <cstring>

#include "tunermanager.h"
#include "utils.h"

namespace {
inline bool report_due(unsigned int countBefore) { return (countBefore & 511u) == 0; }
}  // namespace

bool TunerManager::SetLanguageForProgram(ushort transportId, ushort progamId, char* langCode,
                                         Language::LanguageModeEnum langMode, int langType,
                                         ushort pid, int captionServiceNum) {
  if (langCode == nullptr) return false;
  pthread_mutex_lock(&mMutex);
  ScalProgramList* list = GetScalProgramDesc(-1);
  ScalProgramDesc* prog = nullptr;
  if (list != nullptr) {
    for (ScalProgramDesc* p = list->head; p != nullptr; p = p->pNext) {
      if (p->channelId == mCurrentChannel && p->programId == progamId) {
        prog = p;
        break;
      }
    }
  }
  if (prog == nullptr) {
    pthread_mutex_unlock(&mMutex);
    return false;
  }

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
  if (known != nullptr) {
    known->languageCount = LANG_CNT;  // known entry refreshed
    pthread_mutex_unlock(&mMutex);
    return false;
  }

  Language* entry = AllocLanguage();
  if (entry == nullptr) {
    unsigned int dropped = mLanguagesDropped++;
    pthread_mutex_unlock(&mMutex);
    if (report_due(dropped))
      VYX_LOG("SetLanguageForProgram: no language entry left (%d), prid %x pid %x dropped (%u)\n",
              kLanguagePool, progamId, pid, dropped + 1);
    return false;
  }
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
  pthread_mutex_unlock(&mMutex);
  VYX_LOG("=== Add new lang %s mode %d for trid %x prid %x pid %x\n", entry->language, langMode,
          transportId, progamId, pid);
  return true;
}
