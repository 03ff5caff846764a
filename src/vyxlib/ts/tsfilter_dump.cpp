// The output packet size and the diagnostic dumps of the PID map and the
// section collector.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/scopedlock.h"
#include "streamer.h"
#include "systemmanager.h"
#include "ts/tablecollector.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

const char* kPacketSizeFile = "/mnt/hd1/vyx_packet_size";

bool WritePacketSize(FILE* f, void* ctx) { return fprintf(f, "%d", *static_cast<int*>(ctx)) > 0; }


}  // namespace

bool TsFilter::SetPacketSize(int packetSize) {
  int threshold = packetSize < 0 ? 0 : packetSize - packetSize % kPacketLen;
  {
    ScopedLock lock(&mMutex);
    for (int i = 0; i < kMaxStreams; i++)
      if (mStreamersList[i] != nullptr) mStreamersList[i]->mPacketSize = threshold;
  }

  int rc = SystemManager::WriteBetweenRemounts(1, kPacketSizeFile, WritePacketSize, &packetSize);
  if (rc < 0 && rc > kWriteFileOpenFailed) {
    VYX_ERROR("Cant remount rw");
    return false;
  }
  if (rc != 0) {
    VYX_ERROR("cant open vyx_packet_size file for wr");
    return false;
  }
  VYX_LOG("Saved new packet size of %d", packetSize);
  return true;
}

namespace {

// One PID map entry as a dump prints it, copied under the filter's lock.
struct DumpedPid {
  int pid;
  PacketIdMapType e;
  int listSize;
};

}  // namespace

// The packet thread writes the map under mMutex: the entries are copied
// under it (the copy's room taken before) and printed once it is released.
template <typename Keep>
static std::vector<DumpedPid> SnapshotPids(TsFilter* f, Keep keep) {
  std::vector<DumpedPid> out;
  out.reserve(TsFilter::kPidCount);
  ScopedLock lock(&f->mMutex);
  for (int pid = 0; pid < TsFilter::kPidCount; pid++) {
    const PacketIdMapType& e = f->mPacketIdMap[pid];
    if (!keep(e)) continue;
    out.push_back({pid, e, e.streamers != nullptr ? e.streamers->Size() : 0});
  }
  return out;
}

// Each dump line ends its own line: the debug log adds no line end, and on
// standard output the lines would otherwise run together.
void TsFilter::DumpPids() {
  std::vector<DumpedPid> seen = SnapshotPids(this, [](const PacketIdMapType& e) { return e.count != 0; });
  int total = 0;
  int bogus = 0;
  VYX_LOG("\n==== List Of Programs ===\n");
  for (const DumpedPid& d : seen) {
    const PacketIdMapType& e = d.e;
    total++;
    if (e.count < 3) {
      bogus++;
      continue;
    }
    VYX_LOG("PID %.4x, Status %d, Typ %d, strTyp 0x%.2x, TSid 0x%.4x, PrId 0x%.4x PMapPid 0x%.4x, "
            "strmrs 0x%.8x (%d), cnt %d \tAL %.3s CL %.3s blk %d scr %d\n",
            d.pid, e.status, e.type, e.streamType, e.transportId, e.programId, e.programMapPid,
            static_cast<unsigned int>(reinterpret_cast<uintptr_t>(e.streamers)), d.listSize,
            static_cast<int>(e.count), e.audioLanguage, e.captionLanguage, e.block ? 1 : 0,
            static_cast<int>(e.scrambling));
  }
  VYX_LOG("\nTotal %d unique PIDs found; %d of them bogus\n", total, bogus);
  VYX_LOG("\n=========================\n");
}

void TsFilter::DumpLanguagesAndCaptions() {
  std::vector<DumpedPid> named = SnapshotPids(
      this, [](const PacketIdMapType& e) { return e.audioLanguage[0] != '\0' || e.captionLanguage[0] != '\0'; });
  VYX_LOG("\n===== Languages =====\n");
  for (const DumpedPid& d : named)
    if (d.pid > 0 && d.e.audioLanguage[0] != '\0')
      VYX_LOG("Languages: prog 0x%x pid 0x%x streamType 0x%x, lang %.3s type %.2x\n", d.e.programId,
              d.pid, d.e.streamType, d.e.audioLanguage, d.e.audioLangType);
  VYX_LOG("\n===== Captions ====\n");
  for (const DumpedPid& d : named)
    if (d.pid > 0 && d.e.captionLanguage[0] != '\0')
      VYX_LOG("Subtitles: prog 0x%x pid 0x%x streamType 0x%x, lang %.3s\n", d.e.programId, d.pid,
              d.e.streamType, d.e.captionLanguage);
  VYX_LOG("\n===================\n");
}

void TsFilter::DumpCollectionStats() {
  if (mpTableCollector != nullptr) mpTableCollector->PrintStats();
}
