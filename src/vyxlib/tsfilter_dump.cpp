// The transmitter's audio language filter, the output packet size, and the
// diagnostic dumps of the PID map and the section collector.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "streamer.h"
#include "systemmanager.h"
#include "tablecollector.h"
#include "tsfilter.h"
#include "utils.h"

namespace {

const char* kPacketSizeFile = "/mnt/hd1/vyx_packet_size";


bool language_matches(const PacketIdMapType& e, const char* lang, int langType) {
  if (lang == nullptr) return false;
  return strncmp(e.audioLanguage, lang, 3) == 0 && e.audioLangType == langType;
}

}  // namespace

bool TsFilter::SetLanguageFilter(char* langPri, int langPriType, char* langSec, int langSecType) {
  pthread_mutex_lock(&mMutex);
  mLanguageFilterSet = true;
  snprintf(mLanguagePri, sizeof(mLanguagePri), "%.3s", langPri != nullptr ? langPri : "");
  snprintf(mLanguageSec, sizeof(mLanguageSec), "%.3s", langSec != nullptr ? langSec : "");
  mLanguagePriType = langPriType;
  mLanguageSecType = langSecType;
  // A missing language matches nothing.
  if (langPri == nullptr) mLanguagePri[0] = '\0';
  if (langSec == nullptr) mLanguageSec[0] = '\0';
  ApplyLanguageFilterLocked(true);
  pthread_mutex_unlock(&mMutex);
  return true;
}

// Audio PIDs of a wanted language flow, the others are blocked; with no
// wanted language present nothing changes.  Under mMutex; the PMT analysis
// calls it again when a new audio PID appears.
void TsFilter::ApplyLanguageFilterLocked(bool verbose) {
  if (!mLanguageFilterSet) return;
  const char* pri = mLanguagePri[0] != '\0' ? mLanguagePri : nullptr;
  const char* sec = mLanguageSec[0] != '\0' ? mLanguageSec : nullptr;
  int found = 0;
  for (int pid = 1; pid < kPidCount; pid++) {
    const PacketIdMapType& e = mPacketIdMap[pid];
    if (!IsAudioStreamType(e.streamType)) continue;
    if (verbose)
      VYX_LOG("Found audio packet pid 0x%x, pidlang %s, pidlangType %d, langPri %s, langPriType %d",
              pid, e.audioLanguage, e.audioLangType, pri != nullptr ? pri : "", mLanguagePriType);
    if (language_matches(e, pri, mLanguagePriType) || language_matches(e, sec, mLanguageSecType)) found++;
  }
  if (verbose) VYX_LOG("SetLanguageFilter: found %d", found);
  if (found == 0) return;
  for (int pid = 1; pid < kPidCount; pid++) {
    PacketIdMapType& e = mPacketIdMap[pid];
    if (!IsAudioStreamType(e.streamType)) continue;
    bool wanted = language_matches(e, pri, mLanguagePriType) || language_matches(e, sec, mLanguageSecType);
    if (!wanted && !e.block && verbose) VYX_LOG("Blocking packet 0x%x", pid);
    e.block = !wanted;
  }
}

bool TsFilter::SetPacketSize(int packetSize) {
  int threshold = packetSize < 0 ? 0 : packetSize - packetSize % kPacketLen;
  pthread_mutex_lock(&mMutex);
  for (int i = 0; i < kMaxStreams; i++)
    if (mStreamersList[i] != nullptr) mStreamersList[i]->mPacketSize = threshold;
  pthread_mutex_unlock(&mMutex);

  if (SystemManager::RemountHd(1, 1) != 0) {
    VYX_ERROR("Cant remount rw");
    return false;
  }
  FILE* f = fopen(kPacketSizeFile, "w");
  if (f == nullptr) {
    VYX_ERROR("cant open vyx_packet_size file for wr");
    SystemManager::RemountHd(1, 0);
    return false;
  }
  fprintf(f, "%d", packetSize);
  fclose(f);
  SystemManager::RemountHd(1, 0);
  VYX_LOG("Saved new packet size of %d", packetSize);
  return true;
}

void TsFilter::DumpPids() {
  int total = 0;
  int bogus = 0;
  VYX_LOG("\n==== List Of Programs ===");
  for (int pid = 0; pid < kPidCount; pid++) {
    const PacketIdMapType& e = mPacketIdMap[pid];
    if (e.count == 0) continue;
    total++;
    if (e.count < 3) {
      bogus++;
      continue;
    }
    const StreamerList* list = e.streamers;
    VYX_LOG("PID %.4x, Status %d, Typ %d, strTyp 0x%.2x, TSid 0x%.4x, PrId 0x%.4x PMapPid 0x%.4x, "
            "strmrs 0x%.8x (%d), cnt %d \tAL %.3s CL %.3s blk %d scr %d",
            pid, e.status, e.type, e.streamType, e.transportId, e.programId, e.programMapPid,
            static_cast<unsigned int>(reinterpret_cast<uintptr_t>(list)),
            list != nullptr ? list->Size() : 0, static_cast<int>(e.count), e.audioLanguage,
            e.captionLanguage, e.block ? 1 : 0, static_cast<int>(e.scrambling));
  }
  VYX_LOG("\nTotal %d unique PIDs found; %d of them bogus", total, bogus);
  VYX_LOG("\n=========================");
}

void TsFilter::DumpLanguagesAndCaptions() {
  VYX_LOG("\n===== Languages =====");
  for (int pid = 1; pid < kPidCount; pid++) {
    const PacketIdMapType& e = mPacketIdMap[pid];
    if (e.audioLanguage[0] != '\0')
      VYX_LOG("Languages: prog 0x%x pid 0x%x streamType 0x%x, lang %.3s type %.2x", e.programId,
              pid, e.streamType, e.audioLanguage, e.audioLangType);
  }
  VYX_LOG("\n===== Captions ====");
  for (int pid = 1; pid < kPidCount; pid++) {
    const PacketIdMapType& e = mPacketIdMap[pid];
    if (e.captionLanguage[0] != '\0')
      VYX_LOG("Subtitles: prog 0x%x pid 0x%x streamType 0x%x, lang %.3s", e.programId, pid,
              e.streamType, e.captionLanguage);
  }
  VYX_LOG("\n===================");
}

void TsFilter::DumpCollectionStats() {
  if (mpTableCollector != nullptr) mpTableCollector->PrintStats();
}
