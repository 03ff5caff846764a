// The transmitter's audio language filter: of the audio PIDs, those of the
// wanted languages flow and the others are blocked for every stream.

#include <cstdio>
#include <cstring>

#include "core/scopedlock.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

bool language_matches(const PacketIdMapType& e, const char* lang, int langType) {
  if (lang == nullptr) return false;
  return strncmp(e.audioLanguage, lang, 3) == 0 && e.audioLangType == langType;
}

}  // namespace

bool TsFilter::SetLanguageFilter(char* langPri, int langPriType, char* langSec, int langSecType) {
  ScopedLock lock(&mMutex);
  mLanguageFilterSet = true;
  snprintf(mLanguagePri, sizeof(mLanguagePri), "%.3s", langPri != nullptr ? langPri : "");
  snprintf(mLanguageSec, sizeof(mLanguageSec), "%.3s", langSec != nullptr ? langSec : "");
  mLanguagePriType = langPriType;
  mLanguageSecType = langSecType;
  // A missing language matches nothing.
  if (langPri == nullptr) mLanguagePri[0] = '\0';
  if (langSec == nullptr) mLanguageSec[0] = '\0';
  ApplyLanguageFilterLocked(true);
  return true;
}

// Audio PIDs of a wanted language flow, the others are blocked; with no
// wanted language present nothing changes.  Under mMutex.  Until the next
// retune (CleanPacketIdMap forgets the filter) the PMT analysis calls it
// again, quietly, when a PMT attaches a new audio PID to a stream.
void TsFilter::ApplyLanguageFilterLocked(bool verbose) {
  if (!mLanguageFilterSet) return;
  const char* pri = mLanguagePri[0] != '\0' ? mLanguagePri : nullptr;
  const char* sec = mLanguageSec[0] != '\0' ? mLanguageSec : nullptr;
  int found = 0;
  for (int pid = 1; pid < kPidCount; pid++) {
    const PacketIdMapType& e = mPacketIdMap[pid];
    if (!IsAudioStreamType(e.streamType)) continue;
    if (verbose)
      VYX_LOG("Found audio packet pid 0x%x, pidlang %s, pidlangType %d, langPri %s, langPriType %d\n",
              pid, e.audioLanguage, e.audioLangType, pri != nullptr ? pri : "", mLanguagePriType);
    if (language_matches(e, pri, mLanguagePriType) || language_matches(e, sec, mLanguageSecType)) found++;
  }
  if (verbose) VYX_LOG("SetLanguageFilter: found %d\n", found);
  if (found == 0) return;
  for (int pid = 1; pid < kPidCount; pid++) {
    PacketIdMapType& e = mPacketIdMap[pid];
    if (!IsAudioStreamType(e.streamType)) continue;
    bool wanted = language_matches(e, pri, mLanguagePriType) || language_matches(e, sec, mLanguageSecType);
    // Every blocked PID is named, also one an identical earlier LANG blocked.
    if (!wanted && verbose) VYX_LOG("Blocking packet 0x%x\n", pid);
    e.block = !wanted;
  }
}
