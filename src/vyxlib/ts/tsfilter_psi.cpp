// PAT, PMT and descriptor analysis.
//
// Transmitter: complete, CRC-checked sections from the collector, under the
// filter's mutex.  Receiver: sections straight from the player, without a
// CRC check (the entry point checks that section_length fits what it got).
// Both are decoded first (ts/psitables.h), bounded by their own
// section_length, which must fit a PSI section; then the decoded entries are
// registered.  A cut entry ends its loop: the whole entries before it are
// kept.

#include <cstring>

#include "core/reportdue.h"
#include "ts/psitables.h"
#include "ts/sectionreader.h"
#include "statistics.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

// The body of a descriptor given from its tag byte; the caller's loop has
// already checked that 2 + descriptor_length bytes exist.
inline SectionReader descriptor_body(const unsigned char* d) {
  SectionReader head(d, 2);
  head.U8();
  int length = head.U8();
  return SectionReader(d + 2, length);
}

// The elementary PIDs of a program that its new PMT version no longer lists
// go back to unknown: their program, type and languages are forgotten (the
// packet count, the streamer list and the blocking stay), so a program that
// lists them later claims them.
void release_unlisted(PacketIdMapType* map, int pidCount, uint16_t transportId, uint16_t programId,
                      const uint16_t* listed, int count) {
  for (int pid = 1; pid < pidCount - 1; pid++) {
    PacketIdMapType& e = map[pid];
    if (e.type != ePidTypeEs || e.programId != programId || e.transportId != transportId) continue;
    bool still = false;
    for (int k = 0; k < count && !still; k++) still = listed[k] == pid;
    if (still) continue;
    VYX_LOG("PID 0x%x no longer in program 0x%x\n", pid, programId);
    e.status = ePidAnalyse;
    e.type = ePidTypeNone;
    e.streamType = 0;
    e.transportId = 0;
    e.programId = 0;
    e.audioLanguage[0] = '\0';
    e.audioLangType = 0;
    e.captionLanguage[0] = '\0';
  }
}

}  // namespace

bool TsFilter::AnalyzeSectionPat(unsigned char* sectionPtr) {
  if (sectionPtr == nullptr) return false;
  PatSection pat;
  if (!DecodePat(sectionPtr, kMaxShortSection, &pat)) {
    if (pat.fault.value > kMaxShortSectionLength)
      VYX_LOG_LIMITED("PAT: Bad section length: %d > 1021\n", pat.fault.value);
    else
      VYX_LOG_LIMITED("PAT: Bad section length: %d < %d\n", pat.fault.value, PatSection::kMinSectionLength);
    return false;
  }
  int versionBits = pat.versionBits;
  if (versionBits != mPatVersion) {
    VYX_LOG("Re-AnalyzeSectionPat\n");
    ++mpStatistics->mPatCounter;
    for (int i = 0; i < pat.count; ++i)
      RegisterPatEntry(pat.transportId, pat.entries[i].programNumber, pat.entries[i].pid);
    if (mMyType != 'T') {
      NotePatVersion(versionBits);
      return true;
    }
    RegeneratePrivatePats(sectionPtr);
  } else if (mMyType == 'T') {
    SendPrivatePats();
  }
  NotePatVersion(versionBits);
  return true;
}

void TsFilter::RegisterPatEntry(uint16_t transportId, uint16_t programNumber, uint16_t pmtPid) {
  PacketIdMapType& e = mPacketIdMap[pmtPid];
  if (programNumber == 0) {
    e.type = ePidTypeNone;  // network PID
    return;
  }
  if (e.transportId == 0)
    VYX_LOG("Pat: transport_stream_id %x, program_number %x, program_map_pid %x\n", transportId,
            programNumber, pmtPid);
  e.channelId = static_cast<uint8_t>(mpTunerManager ? mpTunerManager->GetCurrentChannel() : 0);
  e.type = ePidTypePmt;
  e.status = ePidAnalyse;
  e.transportId = transportId;
  e.programId = programNumber;
  if (mpTunerManager) mpTunerManager->AddProgramToScanResults(transportId, programNumber);
  // Streams asked for the program before this PAT came get its PMT.
  FollowPatEntry(transportId, programNumber, pmtPid);
}

void TsFilter::NotePatVersion(int versionBits) {
  ++sPatCounter;
  if ((sPatCounter & 127u) == 15u)
    mPatVersion = -1;  // once every 128 PATs the registrations are refreshed
  else
    mPatVersion = versionBits;
}

bool TsFilter::AnalyzeSectionPmt(unsigned char* packetPtr, int packetId) {
  if (packetPtr == nullptr) return false;
  PmtSection pmt;
  bool whole = DecodePmt(packetPtr, kMaxShortSection, &pmt);
  const TableFault& fault = pmt.fault;
  if (fault.kind == TableFault::eSectionLength ||
      (fault.kind == TableFault::eDescriptorsCut && fault.entry == 0)) {
    if (fault.kind == TableFault::eSectionLength)
      VYX_LOG_LIMITED("PMT: Bad section length: %d (pid 0x%x)\n", fault.value, packetId);
    else
      VYX_LOG_LIMITED("PMT: program_info_length %d past the section (%d B) pid 0x%x\n", fault.value,
                      fault.left, packetId);
    return false;
  }
  unsigned short pid = static_cast<unsigned short>(packetId & 0x1FFF);
  if (pmt.programInfo.length != 0)
    AnalyzeDescriptor(pmt.programInfo.data, pmt.programInfo.length, pid, 1);
  if (!AnalyzePmtProgramInfoLoop(pmt, packetId) || !whole) return false;

  // A new version: the streams carrying the program drop the elementary
  // PIDs it no longer lists (the loop above attached those it lists), and
  // those PIDs leave the program.
  PacketIdMapType& entry = mPacketIdMap[pid];
  if (entry.pmtVersion != 0 && entry.pmtVersion != pmt.version + 1) {
    uint16_t listed[PmtSection::kMaxStreams];
    for (int i = 0; i < pmt.count; ++i) listed[i] = pmt.streams[i].pid;
    if (mMyType == 'T') FollowPmtRemovals(entry.transportId, pmt.programNumber, listed, pmt.count);
    release_unlisted(mPacketIdMap, kPidCount, entry.transportId, pmt.programNumber, listed, pmt.count);
  }
  entry.pmtVersion = static_cast<uint8_t>(pmt.version + 1);

  ++mpStatistics->mPmtCounter;
  return true;
}

bool TsFilter::AnalyzePmtProgramInfoLoop(const PmtSection& pmt, int packetMapPid) {
  const PacketIdMapType& map = mPacketIdMap[packetMapPid & 0x1FFF];
  Streamer* carriers[kMaxStreams];
  int carrierCount = StreamersCarrying(map.transportId, pmt.programNumber, carriers);
  bool newAudio = false;
  for (int i = 0; i < pmt.count; ++i) {
    const PmtStream& s = pmt.streams[i];
    if (s.pid == 0) continue;
    PacketIdMapType& e = mPacketIdMap[s.pid];
    if (e.status != ePidKnown) {
      e.streamType = s.streamType;
      e.programId = pmt.programNumber;
      e.transportId = map.transportId;
      if (mpTunerManager)
        mpTunerManager->SetInfoForProgram(e.transportId, e.programId, s.streamType, e.scrambling);
      e.type = ePidTypeEs;
      e.status = ePidKnown;
    }
    if (s.descriptors.length != 0) AnalyzeDescriptor(s.descriptors.data, s.descriptors.length, s.pid, 0);
    // The streams carrying the program follow it: a PID its PMT lists late
    // or newly is attached to them.
    for (int k = 0; k < carrierCount; k++) {
      if (AttachStreamer(e, carriers[k], true) != eAttached) continue;
      carriers[k]->AddProgramToList(pmt.programNumber, s.pid);
      VYX_LOG("PID 0x%x of program 0x%x attached to stream %d\n", s.pid, pmt.programNumber, carriers[k]->mId);
      newAudio = newAudio || IsAudioStreamType(e.streamType);
    }
  }
  // An entry cut in its header or its descriptors ended the loop: the
  // entries before it stay registered, the section is not counted.
  const TableFault& fault = pmt.fault;
  if (fault.kind == TableFault::eEntryCut || fault.kind == TableFault::eDescriptorsCut) {
    if (fault.kind == TableFault::eEntryCut)
      VYX_LOG_LIMITED("PMT: truncated stream entry (%d B left) pid 0x%x\n", fault.left, packetMapPid);
    else
      VYX_LOG_LIMITED("PMT: ES_info_length %d past the loop (%d B left) pid 0x%x\n", fault.value, fault.left,
                      packetMapPid);
    if (newAudio) ApplyLanguageFilterLocked(false);
    return false;
  }
  if (newAudio) ApplyLanguageFilterLocked(false);
  return true;
}

bool TsFilter::AnalyzeDescriptor(const unsigned char* pPtr, unsigned short length, unsigned short pid,
                                 int /*caller*/) {
  if (length == 0 || pPtr == nullptr) return true;
  pid &= 0x1FFF;
  SectionReader loop(pPtr, length);
  while (loop.Remaining() > 0) {
    int curbyte = loop.Pos();
    const unsigned char* d = loop.Ptr();
    unsigned char tag = loop.U8();
    int dlen = loop.U8();
    bool headerWhole = loop.Ok();
    loop.Sub(dlen);
    if (!loop.Ok()) {
      // A descriptor whose header or body runs past the loop is not read.
      VYX_LOG_LIMITED("descriptors too long: curbyte %d, length %d\n",
                      headerWhole ? curbyte + 2 + dlen : length + 1, length);
      break;
    }
    if (dlen == 0) continue;
    switch (tag) {
      case 0x02:
        AnalyzeDescriptorVideo(d, 0, pid);
        break;
      case 0x03:
        AnalyzeDescriptorAudio(d, 0, pid);
        break;
      case 0x0A:
        AnalyzeDescriptorLanguage(d, 0, pid);
        break;
      case 0x81:
        AnalyzeDescriptorAc3(d, 0, pid);
        break;
      case 0x86:
        AnalyzeDescriptorCaption(d, 0, pid);
        break;
      case 0xA1:
        AnalyzeDescriptorServiceLocation(d, 0, pid);
        break;
      default:
        break;
    }
  }
  return true;
}

bool TsFilter::AnalyzeDescriptorVideo(const unsigned char*, unsigned short, unsigned short) { return false; }
bool TsFilter::AnalyzeDescriptorAudio(const unsigned char*, unsigned short, unsigned short) { return false; }
bool TsFilter::AnalyzeDescriptorAc3(const unsigned char*, unsigned short, unsigned short) { return false; }
bool TsFilter::AnalyzeDescriptorServiceLocation(const unsigned char*, unsigned short, unsigned short) {
  return false;
}

bool TsFilter::AnalyzeDescriptorLanguage(const unsigned char* pPtr, unsigned short /*length*/,
                                         unsigned short pid) {
  pid &= 0x1FFF;
  PacketIdMapType& e = mPacketIdMap[pid];
  SectionReader body = descriptor_body(pPtr);
  int audioType = 0;
  int entries = 0;
  while (body.Has(4)) {
    memcpy(e.audioLanguage, body.Bytes(3), 3);
    e.audioLanguage[3] = 0;
    audioType = body.U8();
    ++entries;
    VYX_LOG_LIMITED("\nLLLLL Found lang %s for pid 0x%x, type 0x%.2x, trid 0x%x, prid 0x%x\n\n",
                    e.audioLanguage, pid, audioType, e.transportId, e.programId);
  }
  if (body.Remaining() != 0) VYX_ERROR_LIMITED("Bad descriptor length (remainder %d)", body.Remaining());
  // A descriptor without one whole entry names no language.
  if (entries == 0) return false;
  if (mMyType == 'T' && e.transportId == 0) return false;
  if (e.programId == 0) return false;
  if (mpTunerManager)
    mpTunerManager->SetLanguageForProgram(e.transportId, e.programId, e.audioLanguage,
                                          TableReports::eAudio, audioType, pid, 0);
  return false;
}

bool TsFilter::AnalyzeDescriptorCaption(const unsigned char* pPtr, unsigned short /*length*/,
                                        unsigned short pid) {
  pid &= 0x1FFF;
  PacketIdMapType& e = mPacketIdMap[pid];
  SectionReader body = descriptor_body(pPtr);
  int descriptorLength = body.Length();
  int services = body.U8() & 0x1F;
  int wanted = 6 * services;
  if (descriptorLength - wanted != 1)
    VYX_LOG_LIMITED("Caption: descriptor_length (%d) - 1 - number_of_services (%d) * 6  = %d\n",
                    descriptorLength, services, descriptorLength - 1 - wanted);
  // Walk what the services need, never past the descriptor: a descriptor too
  // short for them leaves the list bad after its whole services.
  SectionReader list = body.Sub(wanted);
  int serviceNumber = 0;
  while (list.Has(6)) {
    memcpy(e.captionLanguage, list.Bytes(3), 3);
    e.captionLanguage[3] = 0;
    int flags = list.U8();
    int digitalCc = (flags >> 7) & 1;
    serviceNumber = flags & 0x3F;
    int aspect = list.U8();
    int easyReader = (aspect >> 7) & 1;
    int wideAspect = (aspect >> 6) & 1;
    list.Skip(1);  // reserved
    VYX_LOG_LIMITED("CCCCC caption %s for pid 0x%.4x digital_cc %d, caption_service_number 0x%x easy_reader "
                    "%d, wide_aspect %d\n",
                    e.captionLanguage, pid, digitalCc, serviceNumber, easyReader, wideAspect);
  }
  if (!list.Ok()) {
    VYX_LOG_LIMITED("Bad descriptor!\n");
    return false;
  }
  if (services == 0) return false;  // nothing announced
  if (mMyType == 'T' && e.transportId == 0) return false;
  if (e.programId == 0) return false;
  if (mpTunerManager)
    mpTunerManager->SetLanguageForProgram(e.transportId, e.programId, e.captionLanguage,
                                          TableReports::eCaption, 0, pid, serviceNumber);
  return false;
}
