// Scan results: the 159 channel lists of programs, fed by the PAT/PMT and
// virtual channel analysis on the filter thread (no allocation: records come
// from the pool), listed as SCAL lines, saved to and loaded from the
// scan-results file.

#include <cstdio>
#include <cstring>

#include "core/reportdue.h"
#include "core/scopedlock.h"
#include "systemmanager.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

const char kScanResultsFile[] = "/mnt/hd1/vyx_scan_results";


// One SCAL line of a record into out (kScalLineMax bytes); its length, or
// the negative result of a failed format.
int format_scal_line(const ScalProgramDesc* p, char* out) {
  const unsigned char* n = reinterpret_cast<const unsigned char*>(p->channelShortName);
  char name[40];
  char form;
  if (n[0] != 0) {
    form = 'U';
    snprintf(name, sizeof(name),
             "%.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x %.2x%.2x", n[0], n[1], n[2],
             n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10], n[11], n[12], n[13]);
  } else {
    form = 'A';
    int k = 0;
    for (int i = 1; i < 14 && n[i] != 0; i += 2) name[k++] = static_cast<char>(n[i]);
    name[k] = 0;
  }
  int r = snprintf(out, TunerManager::kScalLineMax, "SCAL %.3d %.4x %.4x [%.2x:0:%.2x:%.2x:%.2x] %c %c %s\r\n",
                   p->channelNo, p->transportId, p->programId,
                   static_cast<unsigned int>(p->channelId), p->StrengthByte(), p->videoType & 0xFFu,
                   p->audioType & 0xFFu, p->encryption, form, name);
  if (r >= TunerManager::kScalLineMax) return -1;  // cannot happen with the fields' ranges
  return r;
}

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
  ReleaseGuide(p);
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

int TunerManager::AddProgramLocked(ushort transportId, ushort programId) {
  int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  if (list == nullptr) return 0;
  for (ScalProgramDesc* p = list->head; p != nullptr; p = p->pNext)
    if (p->channelId == channel && p->programId == programId) return 0;
  ScalProgramDesc* p = AllocProgram();
  if (p == nullptr) {
    ++mProgramsDropped;
    return -1;
  }
  p->channelId = channel;
  p->signalStrength = mCurrentStrength;
  p->transportId = transportId;
  p->programId = programId;
  AppendProgram(list, p);
  return ++mProgramsOnChannel;
}

bool TunerManager::AddProgramToScanResults(ushort transportId, ushort programId) {
  int total = 0;
  {
    ScopedLock lock(&mMutex);
    total = AddProgramLocked(transportId, programId);
  }
  if (total < 0)
    VYX_LOG_LIMITED("AddProgramToScanResults: no program record left (%d), trid %.4x prid %.4x dropped\n",
                    kProgramPool, transportId, programId);
  else if (total > 0)
    VYX_LOG("AddProgramToScanResults: trid %.4x prid %.4x, total %d\n", transportId, programId, total);
  return true;
}

bool TunerManager::SetInfoForProgram(ushort transportId, ushort programId, unsigned char streamType,
                                     int scrambling) {
  {
    ScopedLock lock(&mMutex);
    if (!SetStreamTypeLocked(transportId, programId, streamType, scrambling)) return true;
  }
  VYX_LOG("=== SetInfoForProgram 0x%x: streamType 0x%x, scrambling %d\n", programId, streamType,
          scrambling);
  return true;
}

bool TunerManager::SetStreamTypeLocked(ushort transportId, ushort programId, unsigned char streamType,
                                       int scrambling) {
  ScalProgramList* list = GetScalProgramDesc(-1);
  mChannelStartIt = list ? list->head : nullptr;
  mChannelEndIt = nullptr;
  ScalProgramDesc* p = mChannelStartIt;
  for (; p != nullptr; p = p->pNext) {
    if (p->programId != programId) continue;
    if (mMyType == 'T' && p->transportId != transportId) continue;
    break;
  }
  if (p == nullptr) return false;
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
  return true;
}

bool TunerManager::SetPsipInfoForProgram(ushort transportId, ushort programId, char* shortName,
                                         ushort majorChanNo, ushort minorChanNo,
                                         unsigned char modulationMode, unsigned int carrierFreq,
                                         ushort channelTsid, ushort sourceId) {
  bool first = false;
  char name[16];
  int channel = -1;
  {
    ScopedLock lock(&mMutex);
    channel = mCurrentChannel;
    ScalProgramDesc* p = FindProgramLocked(programId);
    if (p == nullptr) return false;
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
    first = !p->mWasSet;
    p->mWasSet = true;
    memcpy(name, p->channelShortName, sizeof(name));  // the record may go once unlocked
  }
  if (first)
    VYX_LOG("SetPsipInfo: chanId %d trId 0x%.4x prId 0x%.4x name %s, chanNo: %d:%d\n", channel,
            transportId, programId, name, majorChanNo, minorChanNo);
  return true;
}

void TunerManager::CleanScalProgramDescriptors() {
  ScopedLock lock(&mMutex);
  ScalProgramList* list = GetScalProgramDesc(-1);
  if (list != nullptr) {
    for (ScalProgramDesc* p = list->head; p != nullptr; p = p->pNext)
      if (p->channelId == mCurrentChannel) ClearLanguages(p);
  }
}

// ---- channel list (SCAL lines) ----

int TunerManager::GetNextProgramScalFormatted(char* buffer) {
  RoleCheck();
  if (buffer == nullptr) return 0;
  // The walk keeps a list and a count of records listed from it, never a
  // pointer into a list: a list cleared between two lines is passed over.
  // Lines are formatted under the mutex, one at a time.
  int n = 0;
  {
    ScopedLock lock(&mMutex);
    n = FormatNextScalLocked(buffer);
  }
  if (n < 0) {
    VYX_ERROR("sprintf encountered an error\n");
    buffer[0] = 0;
  }
  return n;
}

int TunerManager::FormatNextScalLocked(char* buffer) {
  if (mScalRestart) {
    mScalRestart = false;
    mScalChannel = 0;
    mScalIndex = 0;
  }
  ScalProgramDesc* p = nullptr;
  while (mScalChannel < kChannels) {
    p = mScalProgramDescriptors[mScalChannel].head;
    for (int i = 0; p != nullptr && i < mScalIndex; ++i) p = p->pNext;
    if (p != nullptr) break;
    ++mScalChannel;
    mScalIndex = 0;
  }
  if (p == nullptr) {
    mScalRestart = true;  // the next call starts over
    return 0;
  }
  ++mScalIndex;
  return format_scal_line(p, buffer);
}

bool TunerManager::GetChannelProgramsRange() {
  ScopedLock lock(&mMutex);
  ScalProgramList* list = GetScalProgramDesc(-1);
  mChannelStartIt = list ? list->head : nullptr;
  mChannelEndIt = nullptr;
  return false;
}

// ---- scan-results file ----

bool TunerManager::WriteScanResults(FILE* f, void* ctx) {
  TunerManager* self = static_cast<TunerManager*>(ctx);
  bool written = true;
  ScopedLock lock(&self->mMutex);
  for (int c = 0; c < kChannels; ++c)
    for (ScalProgramDesc* p = self->mScalProgramDescriptors[c].head; p != nullptr; p = p->pNext)
      written = p->SaveToFile(f) && written;
  return written;
}

bool TunerManager::SaveScanResults() {
  RoleCheck();
  int rc = SystemManager::WriteBetweenRemounts(1, kScanResultsFile, WriteScanResults, this);
  if (rc < 0 && rc > kWriteFileOpenFailed) {
    VYX_ERROR("Cant remount rw");
    return false;
  }
  if (rc == kWriteFileOpenFailed) {
    VYX_ERROR("cant open scan file for wr");
    return false;
  }
  if (rc != 0) {
    // A full or failing disk: the file saved last stays, and this is no success.
    VYX_ERROR("Can't write scan results");
    return false;
  }
  VYX_LOG("Saved scan results...\n");
  return true;
}

bool TunerManager::LoadScanResults() {
  RoleCheck();
  FILE* f = fopen(kScanResultsFile, "r");
  if (f == nullptr) {
    VYX_LOG("cant open scan file for read");
    return false;
  }
  {
    ScopedLock lock(&mMutex);
    LoadScanRecordsLocked(f);
  }
  fclose(f);
  VYX_LOG("Loaded scan results");
  return true;
}

void TunerManager::LoadScanRecordsLocked(FILE* f) {
  for (;;) {
    // Read straight into a pooled record (records own their guide lists and
    // are not copied); one that is not kept goes back to the pool.
    ScalProgramDesc* p = AllocProgram();
    if (p == nullptr) {
      ++mProgramsDropped;
      VYX_ERROR("Scan results: no program record left (%d), the rest is not loaded", kProgramPool);
      return;
    }
    int converted = 0;
    if (!p->LoadFromFile(f, &converted)) {
      FreeProgram(p);
      // The end of a complete file is no damage; a cut or garbled line, or a
      // failing read, is.
      if (converted >= 0 || ferror(f)) VYX_ERROR("Error reading scal from file: %d", converted);
      return;
    }
    if (p->channelId < 0 || p->channelId >= kChannels) {
      VYX_ERROR("Scan results: channel 0x%x has no list, line skipped", static_cast<unsigned int>(p->channelId));
      FreeProgram(p);
      continue;
    }
    VYX_LOG("Loadd Scal prog descr for chanid 0x%x, trid 0x%x, prid 0x%x ret %d\n",
            static_cast<unsigned int>(p->channelId), p->transportId, p->programId, converted);
    AppendProgram(&mScalProgramDescriptors[p->channelId], p);
  }
}
