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

bool is_audio_stream_type(unsigned char t) {
  // MPEG-1 and MPEG-2 audio, AAC (ADTS), ATSC AC-3.
  return t == 0x03 || t == 0x04 || t == 0x0F || t == 0x81;
}

bool language_matches(const PacketIdMapType& e, const char* lang, int langType) {
  if (lang == nullptr) return false;
  return strncmp(e.audioLanguage, lang, 3) == 0 && e.audioLangType == langType;
}

}  // namespace

bool TsFilter::SetLanguageFilter(char* langPri, int langPriType, char* langSec, int langSecType) {
  // Command thread only; the list lives here rather than on the stack.
  static unsigned short toBlock[kPidCount];
  int blockCount = 0;
  int found = 0;
  for (int pid = 1; pid < kPidCount; pid++) {
    PacketIdMapType& e = mPacketIdMap[pid];
    if (!is_audio_stream_type(e.streamType)) continue;
    VYX_LOG("Found audio packet pid 0x%x, pidlang %s, pidlangType %d, langPri %s, langPriType %d",
            pid, e.audioLanguage, e.audioLangType, langPri != nullptr ? langPri : "",
            langPriType);
    if (language_matches(e, langPri, langPriType) || language_matches(e, langSec, langSecType)) {
      found++;
      e.block = false;
    } else {
      toBlock[blockCount++] = static_cast<unsigned short>(pid);
    }
  }
  VYX_LOG("SetLanguageFilter: found %d", found);
  // With no wanted language present, every audio PID keeps flowing.
  if (found > 0) {
    for (int i = 0; i < blockCount; i++) {
      VYX_LOG("Blocking packet 0x%x", toBlock[i]);
      mPacketIdMap[toBlock[i]].block = true;
    }
  }
  return true;
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
