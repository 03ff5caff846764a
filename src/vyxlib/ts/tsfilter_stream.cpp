// Multicast output of the transmitter: creating and removing streams,
// attaching them to PIDs, and each stream's regenerated PAT.
//
// Streams are created, attached and removed on the command thread; the packet
// loop (player's thread) reads the PID map's streamer lists while holding
// mMutex for a whole buffer.  Every change of a list or of a PID's analysis
// state is made under mMutex too, so the packet loop never sees one half
// done; the lists themselves are fixed tables (StreamerList) allocated here,
// never on the packet path.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/reportdue.h"
#include "core/scopedlock.h"
#include "streamer.h"
#include "ts/sectionreader.h"
#include "ts/tablecollector.h"
#include "ts/tsfilter.h"
#include "ts/tspacket.h"
#include "utils.h"

namespace {

// PSI PIDs every stream receives: PAT (as its own regenerated copy), CAT,
// the DVB NIT/SDT/EIT/RST/TDT range and the ATSC PSIP base PID.
const unsigned short kKnownPids[] = {0x0000, 0x0001, 0x0010, 0x0011, 0x0012,
                                     0x0013, 0x0014, 0x1FFB, 0x1FFF};
const unsigned short kKnownPidsEnd = 0x1FFF;

const int kStreamBufferSize = 65536;
const int kMaxUnidentifiedAttachments = 256;
const int kPacketPayload = 184;
const int kFirstPacketPayload = 183;  // the pointer_field takes one byte
// A PAT of the largest section (1024 bytes) packetizes into six packets.
const int kPatWorkBuffer = 6 * TsFilter::kPacketLen;
static_assert(kPatWorkBuffer <= Streamer::kPrivatePatBufferSize,
              "six packets of PAT fit the stream's PAT buffer");

// Continuity counter of the PAT packetizer, shared by all streams.
int pat_continuity = 0;

bool list_contains(const StreamerList* list, const Streamer* s) {
  if (list == nullptr) return false;
  for (int i = 0; i < list->Size(); i++)
    if (list->At(i) == s) return true;
  return false;
}

bool valid_stream_id(int streamId) { return streamId >= 0 && streamId < TsFilter::kMaxStreams; }

}  // namespace

void TsFilter::PrepareStreamStart(bool newMultiplex) {
  ScopedLock lock(&mMutex);
  mUnindentifiedStreamers = 0;
  if (!newMultiplex) return;
  if (mpTableCollector != nullptr) mpTableCollector->Reset();
  mPatCurrentNextIndicator = -1;
  mElementaryStreamCount = 0;
}

bool TsFilter::AnyStream() const {
  for (int i = 0; i < kMaxStreams; i++)
    if (mStreamersList[i] != nullptr) return true;
  return false;
}

bool TsFilter::StopMulticast(int streamId, bool really) {
  // RemoveStream changes the lists under mMutex, between two buffers: the
  // other streams go on without a pause.  Only when none is left does the
  // filter stop.
  bool others = false;
  for (int i = 0; i < kMaxStreams && streamId != -1; i++)
    if (i != streamId && mStreamersList[i] != nullptr) others = true;
  if (!others) FilterActive(false);
  if (streamId == -1) {
    for (int i = 0; i < kMaxStreams; i++) RemoveStream(i);
  } else {
    RemoveStream(streamId);
  }
  if (really) {
    for (int i = 0; i < kMaxStreams; i++) {
      if (mStreamersList[i] != nullptr) {
        VYX_LOG("StopMulticast: found another stream %d, filter kept running", i);
        // A running filter keeps its PAT version: the others' PATs go on.
        if (!mRunFilter) FilterActive(true);
        return true;
      }
    }
  }
  CleanPacketIdMap();
  return true;
}

bool TsFilter::AddStream(int streamId, char* mcastIp, unsigned short mcastPort) {
  if (!valid_stream_id(streamId)) {
    VYX_ERROR("AddStream: streamId out of range: %d", streamId);
    return false;
  }
  if (mcastIp == nullptr) return false;
  Streamer* s = mStreamersList[streamId];
  if (s == nullptr) {
    s = new (std::nothrow) Streamer(kStreamBufferSize, mPacketSize);
    if (s == nullptr) {
      VYX_ERROR("Cant alloc memory");
      return false;
    }
    if (!s->StreamSet(mcastIp, mcastPort)) {
      delete s;
      return false;
    }
    VYX_LOG("Set Streamer %d %s:%d", streamId, s->mMulticastIp, s->mMulticastPort);
    s->mId = streamId;
    mStreamersList[streamId] = s;
    AddStreamerToPsi(s);
    AddStreamerToUnidentified(s);
    VYX_LOG("=== Added New Stream id %d", streamId);
    return true;
  }
  if (s->mId == streamId) {
    VYX_LOG("=== Found Existing Stream id %d", streamId);
    // The new socket replaces the old one between two buffers.
    if (!s->StreamSet(mcastIp, mcastPort, &mMutex)) return false;
    VYX_LOG("Set Streamer %d %s:%d", streamId, s->mMulticastIp, s->mMulticastPort);
    return true;
  }
  VYX_ERROR("Too many streams defined");
  return false;
}

bool TsFilter::RemoveAllProgramsFromStream(int streamId) {
  for (int pid = 0; pid < kPidCount; pid++) {
    PacketIdMapType& entry = mPacketIdMap[pid];
    if (entry.streamers == nullptr) continue;
    // One list at a time: the packet loop runs between them.
    ScopedLock lock(&mMutex);
    StreamerList* list = entry.streamers;
    if (list == nullptr) continue;
    for (int i = list->Size() - 1; i >= 0; i--) {
      Streamer* s = list->At(i);
      if (s != nullptr && s->mId == streamId) list->RemoveAt(i);
    }
    if (list->Size() == 0) {
      entry.streamers = nullptr;
      ReleaseList(list);
    }
  }
  return true;
}

bool TsFilter::RemoveStream(int streamId) {
  if (!valid_stream_id(streamId)) {
    VYX_ERROR("RemoveStream: streamId out of range: %d", streamId);
    return false;
  }
  Streamer* s = mStreamersList[streamId];
  if (s == nullptr) return true;
  {
    ScopedLock lock(&mMutex);
    s->mActive = false;
  }
  RemoveAllProgramsFromStream(s->mId);
  {
    ScopedLock lock(&mMutex);
    // Nothing completed is lost, and no list keeps the streamer.
    FlushStreamers();
    mStreamersList[streamId] = nullptr;
    delete s;
  }
  VYX_LOG("=== Removed stream id %d", streamId);
  return true;
}

bool TsFilter::AddStreamerToPsi(Streamer* pStreamer) {
  if (pStreamer == nullptr) return false;
  ScopedLock lock(&mMutex);
  for (int i = 0; kKnownPids[i] != kKnownPidsEnd; i++) {
    PacketIdMapType& entry = mPacketIdMap[kKnownPids[i]];
    // PID 0 stays blocked: its list only names the streams that get a
    // regenerated PAT.
    entry.status = ePidAnalyse;
    AttachStreamer(entry, pStreamer, false);
  }
  return true;
}

bool TsFilter::AddStreamerToUnidentified(Streamer* pStreamer) {
  if (pStreamer == nullptr) return false;
  ScopedLock lock(&mMutex);
  // PSIP tables and other PIDs tied to no program go to every stream.
  for (int pid = 0; pid < kPidCount - 1; pid++) {
    PacketIdMapType& entry = mPacketIdMap[pid];
    if (entry.transportId != 0 || entry.programId != 0 || entry.count <= 1) continue;
    if (++mUnindentifiedStreamers > kMaxUnidentifiedAttachments) {
      VYX_LOG("PROBLEM: Too many unindentified streamers");
      break;
    }
    if (AttachStreamer(entry, pStreamer, false) == eAttached && entry.type == ePidTypeNone) {
      entry.status = ePidKnown;
      VYX_LOG("Mark pid %x known %d", pid, entry.status);
    }
  }
  return true;
}

bool TsFilter::AddStreamerToPmts(Streamer* /*pStreamer*/) { return true; }

bool TsFilter::AddProgramToStream(int streamId, unsigned short transportId,
                                  unsigned short programId) {
  if (!valid_stream_id(streamId)) {
    VYX_ERROR("AddProgramToStream: streamId out of range: %d", streamId);
    return false;
  }
  // Program 0 names the network PID, not a program; it would match every PID
  // not yet tied to a program.
  if (programId == 0) {
    VYX_LOG("AddProgramToStream: program 0 ignored");
    return false;
  }
  Streamer* s = FindStreamer(streamId);
  if (s == nullptr) return false;
  VYX_LOG("AddProgramToStream: Found streamId %d", streamId);
  ScopedLock lock(&mMutex);
  // Carried from now on, even if the program's tables are not analysed yet.
  if (!s->CarryProgram(transportId, programId))
    VYX_LOG("AddProgramToStream: too many programs on stream %d", streamId);
  for (int pid = 1; pid < kPidCount - 1; pid++) {
    PacketIdMapType& entry = mPacketIdMap[pid];
    if (entry.transportId != transportId || entry.programId != programId) continue;
    if (AttachStreamer(entry, s, false) == eAttached) {
      s->AddProgramToList(programId, static_cast<unsigned short>(pid));
      VYX_LOG("Added TS %x Prog. %x to stream ID %d at PID %x, packet type %d", transportId,
              programId, streamId, pid, entry.type);
    }
  }
  return true;
}

bool TsFilter::AddAllProgramsToStream(int streamId) {
  if (!valid_stream_id(streamId)) return false;
  Streamer* s = FindStreamer(streamId);
  if (s == nullptr) return false;
  VYX_LOG("AddProgramsAllToStream: Found streamId %d", streamId);
  ScopedLock lock(&mMutex);
  s->mCarriesAll = true;
  for (int pid = 1; pid < kPidCount - 1; pid++) {
    PacketIdMapType& entry = mPacketIdMap[pid];
    if (entry.count >= 3 && entry.status != ePidIgnored) {
      if (AttachStreamer(entry, s, false) == eAttached) {
        s->AddProgramToList(entry.programId, static_cast<unsigned short>(pid));
        VYX_LOG("Added TS 0x%x Prog. 0x%x to stream ID %d at PID 0x%x", entry.transportId,
                entry.programId, streamId, pid);
      }
    } else if (entry.count > 0) {
      VYX_LOG("Ignore pid 0x%x status %d count %u", pid, entry.status, entry.count);
    }
  }
  return true;
}

int TsFilter::PacketizeSection(unsigned short pid, int* continuity, unsigned char* section,
                               int section_len, unsigned char* packetized_buffer) {
  if (pid >= 0x2000 || section_len > kMaxPsiSection) {
    VYX_ERROR("pid 0x%x, section_len %d", pid, section_len);
    return 0;
  }
  if (section_len <= 0 || continuity == nullptr || section == nullptr ||
      packetized_buffer == nullptr)
    return 0;
  // The first packet carries the pointer_field and 183 section bytes, each
  // further one 184; the last is filled with stuffing.
  int packets = 1 + (section_len - kFirstPacketPayload + kPacketPayload - 1) / kPacketPayload;
  SectionReader in(section, section_len);
  SectionWriter out(packetized_buffer, packets * kPacketLen);
  bool first = true;
  while (in.Remaining() > 0) {
    *continuity = (*continuity + 1) & 0x0F;
    out.U8(kTsSyncByte);
    out.U16((first ? 0x4000u : 0u) | pid);  // payload_unit_start on the first
    out.U8(0x10u | static_cast<unsigned int>(*continuity));  // payload only
    int room = kPacketPayload;
    if (first) {
      out.U8(0);  // pointer_field: the section starts right after it
      room = kFirstPacketPayload;
    }
    int chunk = in.Remaining() < room ? in.Remaining() : room;
    out.Bytes(in.Bytes(chunk), chunk);
    out.Fill(0xFF, room - chunk);
    first = false;
  }
  return out.Ok() ? out.Pos() : 0;
}

void TsFilter::RegeneratePrivatePats(unsigned char* section) {
  StreamerList* list = mPacketIdMap[0].streamers;
  if (list == nullptr || section == nullptr) return;
  SectionReader head(section, 3);
  head.U8();
  int sectionLength = head.Len12();
  int total = sectionLength + 3;
  // Header (5 bytes after section_length) and CRC must fit; the analyser
  // already refuses sections above 1024 bytes.
  if (sectionLength < 9 || total > kMaxPsiSection) return;

  for (int k = 0; k < list->Size(); k++) {
    Streamer* s = list->At(k);
    if (s == nullptr || s->mpPrivatePatBuffer == nullptr) continue;
    // The stream's PAT is the received one with the programs it does not
    // carry blanked (program_number 0); a piece of an entry before the CRC
    // stays as received.
    SectionReader in(section, total);
    const unsigned char* header = in.Bytes(8);
    SectionReader entries = in.Sub(total - 8 - 4);
    const unsigned char* theirCrc = in.Bytes(4);
    unsigned char* pat = s->mpPrivatePatBuffer;
    SectionWriter out(pat, Streamer::kPrivatePatBufferSize);
    out.Bytes(header, 8);
    while (entries.Has(4)) {
      unsigned int programNumber = entries.U16();
      unsigned int pidField = entries.U16();
      if (!list_contains(mPacketIdMap[pidField & 0x1FFF].streamers, s)) {
        programNumber = 0;
        s->mPrivatePatCrcInvalid = true;
      } else {
        VYX_LOG("Found a match, this PMT is streamed");
      }
      out.U16(programNumber);
      out.U16(pidField);
    }
    out.Bytes(entries.Ptr(), entries.Remaining());
    if (s->mPrivatePatCrcInvalid)
      out.Crc32();
    else
      out.Bytes(theirCrc, 4);
    if (!out.Ok() || !in.Ok()) {
      s->mPrivatePatBufferLen = 0;
      continue;
    }
    unsigned char work[kPatWorkBuffer];
    int len = PacketizeSection(0, &pat_continuity, pat, total, work);
    memcpy(pat, work, static_cast<size_t>(len));
    s->mPrivatePatBufferLen = len;
  }
}

void TsFilter::SendPrivatePats() {
  StreamerList* list = mPacketIdMap[0].streamers;
  if (list == nullptr) return;
  for (int k = 0; k < list->Size(); k++) {
    Streamer* s = list->At(k);
    if (s == nullptr || s->mpPrivatePatBuffer == nullptr) continue;
    int len = s->mPrivatePatBufferLen;
    // Only ready packets are sent: none before the first PAT was analysed.
    if (len <= 0 || len % kPacketLen != 0 || len > kPatWorkBuffer) continue;
    // Every packet of this stream's PID 0 gets the next continuity value, so
    // a PAT of several packets stays continuous too.
    for (int off = 0; off < len; off += kPacketLen) {
      s->mPrivatePatContinuity = (s->mPrivatePatContinuity + 1) & 0x0F;
      SetPacketContinuity(s->mpPrivatePatBuffer + off,
                          static_cast<unsigned int>(s->mPrivatePatContinuity));
    }
    s->Stream(s->mpPrivatePatBuffer, len);
    ListForFlush(s);
  }
}

// ---------------------------------------------------------------------------
// Streamer lists and streams that follow their programs
// ---------------------------------------------------------------------------
Streamer* TsFilter::FindStreamer(int streamId) {
  if (!valid_stream_id(streamId)) return nullptr;
  for (int i = 0; i < kMaxStreams; i++)
    if (mStreamersList[i] != nullptr && mStreamersList[i]->mId == streamId) return mStreamersList[i];
  return nullptr;
}

StreamerList* TsFilter::AcquireList(bool packetPath) {
  if (mFreeListCount > 0) {
    StreamerList* list = mFreeLists[--mFreeListCount];
    for (int i = 0; i < StreamerList::kMax; i++) list->items[i] = nullptr;
    list->count.store(0, std::memory_order_relaxed);
    return list;
  }
  if (packetPath) {
    VYX_LOG_LIMITED("PROBLEM: no streamer list left for a new PID\n");
    ++mListPoolEmpty;
    return nullptr;
  }
  StreamerList* list = new (std::nothrow) StreamerList();
  if (list == nullptr) VYX_ERROR("Cant alloc memory");
  return list;
}

void TsFilter::ReleaseList(StreamerList* list) {
  if (list == nullptr) return;
  if (mListPool != nullptr && list >= mListPool && list < mListPool + kListPool) {
    if (mFreeListCount < kListPool) mFreeLists[mFreeListCount++] = list;
    return;
  }
  delete list;  // made when the pool was empty (or by a test)
}

// Attach `s` to one PID (caller holds mMutex): a streamer with the same
// stream number already there is re-activated instead of listed twice.
TsFilter::AttachResult TsFilter::AttachStreamer(PacketIdMapType& entry, Streamer* s, bool packetPath) {
  if (entry.streamers == nullptr) {
    entry.streamers = AcquireList(packetPath);
    if (entry.streamers == nullptr) return eAttachFailed;
  }
  StreamerList* list = entry.streamers;
  for (int i = 0; i < list->Size(); i++) {
    Streamer* other = list->At(i);
    if (other != nullptr && other->mId == s->mId) {
      other->mActive = true;
      return eAlreadyAttached;
    }
  }
  if (!list->Append(s)) return eAttachFailed;
  s->mActive = true;
  return eAttached;
}

int TsFilter::StreamersCarrying(uint16_t transportId, uint16_t programId, Streamer** out) {
  int n = 0;
  if (mMyType != 'T' || programId == 0) return 0;
  for (int i = 0; i < kMaxStreams; i++) {
    Streamer* s = mStreamersList[i];
    if (s != nullptr && s->Carries(transportId, programId)) out[n++] = s;
  }
  return n;
}

// A PAT entry (packet path): the streams carrying the program get its PMT
// PID, so its PMT reaches them and their PAT lists the program.
void TsFilter::FollowPatEntry(uint16_t transportId, uint16_t programId, uint16_t pmtPid) {
  Streamer* carriers[kMaxStreams];
  int n = StreamersCarrying(transportId, programId, carriers);
  for (int i = 0; i < n; i++)
    if (AttachStreamer(mPacketIdMap[pmtPid], carriers[i], true) == eAttached)
      carriers[i]->AddProgramToList(programId, pmtPid);
}

// A new PMT version (packet path): the program's elementary PIDs it no
// longer lists leave the streams that carry the program.
void TsFilter::FollowPmtRemovals(uint16_t transportId, uint16_t programId, const uint16_t* listed,
                                 int count) {
  Streamer* carriers[kMaxStreams];
  int n = StreamersCarrying(transportId, programId, carriers);
  if (n == 0) return;
  for (int pid = 1; pid < kPidCount - 1; pid++) {
    PacketIdMapType& e = mPacketIdMap[pid];
    if (e.streamers == nullptr || e.type != ePidTypeEs || e.programId != programId ||
        e.transportId != transportId)
      continue;
    bool still = false;
    for (int k = 0; k < count && !still; k++) still = listed[k] == pid;
    if (still) continue;
    StreamerList* list = e.streamers;
    for (int i = list->Size() - 1; i >= 0; i--) {
      for (int c = 0; c < n; c++) {
        if (list->At(i) == carriers[c]) {
          // The list stays (empty, perhaps) until the stream stops: the
          // packet loop may still be walking it.
          list->RemoveAt(i);
          VYX_LOG("PID 0x%x left program 0x%x: detached from stream %d\n", pid, programId,
                  carriers[c]->mId);
          break;
        }
      }
    }
  }
}
