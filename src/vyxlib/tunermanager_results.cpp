// Scan results: the 159 channel lists of programs, fed by the PAT/PMT
// analysis on the filter thread (no allocation: records come from the pool).

#include <cstring>

#include "tunermanager.h"
#include "utils.h"

namespace {
inline bool report_due(unsigned int countBefore) { return (countBefore & 511u) == 0; }
}  // namespace

// ---- pools (mMutex held) ----

ScalProgramDesc* TunerManager::AllocProgram() {
  ScalProgramDesc* p = mpFreePrograms;
  if (p == nullptr) return nullptr;
  mpFreePrograms = p->pNext;
  p->Reset();
  p->pNext = nullptr;
  return p;
}

void TunerManager::FreeProgram(ScalProgramDesc* p) {
  if (p == nullptr) return;
  ClearLanguages(p);
  Event* ev = p->mEvents.head;
  while (ev != nullptr) {
    Event* next = ev->pNext;
    ev->Clear();
    ev->pPrev = nullptr;
    ev->pNext = mpFreeEvents;
    mpFreeEvents = ev;
    ev = next;
  }
  p->Reset();
  p->pNext = mpFreePrograms;
  mpFreePrograms = p;
}

Language* TunerManager::AllocLanguage() {
  Language* l = mpFreeLanguages;
  if (l == nullptr) return nullptr;
  mpFreeLanguages = l->pNext;
  *l = Language();
  l->pNext = nullptr;
  return l;
}

void TunerManager::FreeLanguage(Language* l) {
  if (l == nullptr) return;
  l->pNext = mpFreeLanguages;
  mpFreeLanguages = l;
}

void TunerManager::ClearLanguages(ScalProgramDesc* p) {
  Language* l = p->language.head;
  while (l != nullptr) {
    Language* next = l->pNext;
    FreeLanguage(l);
    l = next;
  }
  p->language = LanguageList();
}

void TunerManager::ClearChannelList(ScalProgramList* list) {
  ScalProgramDesc* p = list->head;
  while (p != nullptr) {
    ScalProgramDesc* next = p->pNext;
    FreeProgram(p);
    p = next;
  }
  *list = ScalProgramList();
}

void TunerManager::AppendProgram(ScalProgramList* list, ScalProgramDesc* p) {
  p->pNext = nullptr;
  if (list->tail != nullptr)
    list->tail->pNext = p;
  else
    list->head = p;
  list->tail = p;
  ++list->count;
}

ScalProgramList* TunerManager::GetScalProgramDesc(int channel) {
  if (channel < 0) channel = mCurrentChannel;
  if (channel < 0 || channel >= kChannels) return nullptr;
  return &mScalProgramDescriptors[channel];
}

// ---- filter-facing ----

bool TunerManager::AddProgramToScanResults(ushort transportId, ushort programId) {
  pthread_mutex_lock(&mMutex);
  int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  if (list == nullptr) {
    pthread_mutex_unlock(&mMutex);
    return true;
  }
  for (ScalProgramDesc* p = list->head; p != nullptr; p = p->pNext) {
    if (p->channelId == channel && p->programId == programId) {
      pthread_mutex_unlock(&mMutex);
      return true;
    }
  }
  ScalProgramDesc* p = AllocProgram();
  if (p == nullptr) {
    unsigned int dropped = mProgramsDropped++;
    pthread_mutex_unlock(&mMutex);
    if (report_due(dropped))
      VYX_LOG("AddProgramToScanResults: no program record left (%d), trid %.4x prid %.4x dropped (%u)\n",
              kProgramPool, transportId, programId, dropped + 1);
    return true;
  }
  p->channelId = channel;
  p->signalStrength = mCurrentStrength;
  p->transportId = transportId;
  p->programId = programId;
  AppendProgram(list, p);
  int total = ++mProgramsOnChannel;
  pthread_mutex_unlock(&mMutex);
  VYX_LOG("AddProgramToScanResults: trid %.4x prid %.4x, total %d\n", transportId, programId, total);
  return true;
}

bool TunerManager::SetInfoForProgram(ushort transportId, ushort programId, unsigned char streamType,
                                     int scrambling) {
  pthread_mutex_lock(&mMutex);
  ScalProgramList* list = GetScalProgramDesc(-1);
  mChannelStartIt = list ? list->head : nullptr;
  mChannelEndIt = nullptr;
  ScalProgramDesc* p = mChannelStartIt;
  for (; p != nullptr; p = p->pNext) {
    if (p->programId != programId) continue;
    if (mMyType == 'T' && p->transportId != transportId) continue;
    break;
  }
  if (p == nullptr) {
    pthread_mutex_unlock(&mMutex);
    return true;
  }
  p->signalStrength = mCurrentStrength;
  p->channelId = mCurrentChannel;
  p->transportId = transportId;
  p->programId = programId;
  if (scrambling == 2) p->encryption = 'E';
  switch (streamType) {
    case 0x01:
    case 0x02:
    case 0x1B:
      p->videoType = streamType;
      break;
    case 0x03:
    case 0x04:
    case 0x0F:
    case 0x81:
      p->audioType = streamType;
      break;
    default:
      break;
  }
  pthread_mutex_unlock(&mMutex);
  VYX_LOG("=== SetInfoForProgram 0x%x: streamType 0x%x, scrambling %d\n", programId, streamType,
          scrambling);
  return true;
}

bool TunerManager::SetPsipInfoForProgram(ushort transportId, ushort programId, char* shortName,
                                         ushort majorChanNo, ushort minorChanNo,
                                         unsigned char modulationMode, unsigned int carrierFreq,
                                         ushort channelTsid, ushort sourceId) {
  pthread_mutex_lock(&mMutex);
  int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  ScalProgramDesc* p = list ? list->head : nullptr;
  for (; p != nullptr; p = p->pNext)
    if (p->channelId == channel && p->programId == programId) break;
  if (p == nullptr) {
    pthread_mutex_unlock(&mMutex);
    return false;
  }
  if (shortName != nullptr)
    memcpy(p->channelShortName, shortName, 14);
  else
    memset(p->channelShortName, 0, 14);
  p->channelShortName[14] = 0;
  p->channelShortName[15] = 0;
  p->channelMajorNo = majorChanNo;
  p->channelMinorNo = minorChanNo;
  p->modulationMode = modulationMode;
  p->channelFreq = carrierFreq;
  p->channelTsid = channelTsid;
  p->sourceId = sourceId;
  p->channelNo = majorChanNo * 10 + minorChanNo;
  bool first = !p->mWasSet;
  p->mWasSet = true;
  char name[16];
  memcpy(name, p->channelShortName, sizeof(name));  // the record may go once unlocked
  pthread_mutex_unlock(&mMutex);
  if (first)
    VYX_LOG("SetPsipInfo: chanId %d trId 0x%.4x prId 0x%.4x name %s, chanNo: %d:%d\n", channel,
            transportId, programId, name, majorChanNo, minorChanNo);
  return true;
}

void TunerManager::CleanScalProgramDescriptors() {
  pthread_mutex_lock(&mMutex);
  ScalProgramList* list = GetScalProgramDesc(-1);
  if (list != nullptr) {
    for (ScalProgramDesc* p = list->head; p != nullptr; p = p->pNext)
      if (p->channelId == mCurrentChannel) ClearLanguages(p);
  }
  pthread_mutex_unlock(&mMutex);
}
