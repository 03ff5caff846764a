// PAT, PMT and descriptor analysis.
//
// Transmitter: complete, CRC-checked sections from the collector, under the
// filter's mutex.  Receiver: sections straight from the player, without a
// CRC check or a length guarantee; both are read through SectionReader and
// bounded by their own section_length, which must fit a PSI section.

#include <cstring>

#include "sectionreader.h"
#include "statistics.h"
#include "tsfilter.h"
#include "tunermanager.h"
#include "utils.h"

namespace {

// section_length limits: a PSI section is at most 1024 bytes (1021 after
// the 3-byte header); PAT and PMT need their fixed header and CRC.
const int kMaxSectionLength = 1021;
const int kMinPatSectionLength = 9;   // 5 header bytes after the length, CRC
const int kMinPmtSectionLength = 13;  // 9 header bytes after the length, CRC

inline int section_length_of(const unsigned char* s) { return ((s[1] & 0x0F) << 8) | s[2]; }

inline bool report_due(unsigned int countBefore) { return (countBefore & 511u) == 0; }

}  // namespace

bool TsFilter::AnalyzeSectionPat(unsigned char* sectionPtr) {
  if (sectionPtr == nullptr) return false;
  int sectionLength = section_length_of(sectionPtr);
  if (sectionLength > kMaxSectionLength) {
    VYX_LOG("PAT: Bad section length: %d > 1021\n", sectionLength);
    return false;
  }
  if (sectionLength < kMinPatSectionLength) {
    VYX_LOG("PAT: Bad section length: %d < %d\n", sectionLength, kMinPatSectionLength);
    return false;
  }
  SectionReader section(sectionPtr, sectionLength + 3);
  int versionBits = section.Peek(5) & 0x3E;
  unsigned short transportId = static_cast<unsigned short>((section.Peek(3) << 8) | section.Peek(4));

  if (versionBits != mPatVersion) {
    VYX_LOG("Re-AnalyzeSectionPat\n");
    ++mpStatistics->mPatCounter;
    // Entries at 8 + 4k while 4k < section_length - 9: the last one always
    // ends inside the section (possibly on CRC bytes when the length is not
    // a multiple of four; such a PAT fails its CRC in the transmitter).
    for (int k = 0; 4 * k < sectionLength - 9; ++k) {
      SectionReader entry(sectionPtr + 8 + 4 * k, 4);
      unsigned short programNumber = entry.U16();
      unsigned short pid = static_cast<unsigned short>(entry.U16() & 0x1FFF);
      PacketIdMapType& e = mPacketIdMap[pid];
      if (programNumber != 0) {
        if (e.transportId == 0)
          VYX_LOG("Pat: transport_stream_id %x, program_number %x, program_map_pid %x\n", transportId,
                  programNumber, pid);
        e.channelId = static_cast<uint8_t>(mpTunerManager ? mpTunerManager->GetCurrentChannel() : 0);
        e.type = ePidTypePmt;
        e.status = ePidAnalyse;
        e.transportId = transportId;
        e.programId = programNumber;
        if (mpTunerManager) mpTunerManager->AddProgramToScanResults(transportId, programNumber);
      } else {
        e.type = ePidTypeNone;  // network PID
      }
    }
    if (mMyType != 'T') {
      ++sPatCounter;
      if ((sPatCounter & 127u) == 15u)
        mPatVersion = -1;
      else
        mPatVersion = versionBits;
      return true;
    }
    RegeneratePrivatePats(sectionPtr);
  } else if (mMyType == 'T') {
    SendPrivatePats();
  }

  ++sPatCounter;
  if ((sPatCounter & 127u) == 15u)
    mPatVersion = -1;  // once every 128 PATs the registrations are refreshed
  else
    mPatVersion = versionBits;
  return true;
}

bool TsFilter::AnalyzeSectionPmt(unsigned char* packetPtr, int packetId) {
  if (packetPtr == nullptr) return false;
  int sectionLength = section_length_of(packetPtr);
  if (sectionLength > kMaxSectionLength || sectionLength < kMinPmtSectionLength) {
    if (report_due(mDescriptorReports))
      VYX_LOG("PMT: Bad section length: %d (pid 0x%x)\n", sectionLength, packetId);
    ++mDescriptorReports;
    return false;
  }
  SectionReader section(packetPtr, sectionLength + 3);
  section.Skip(3);
  int programNumber = section.U16();
  section.Skip(5);  // version, section numbers, PCR PID
  int programInfoLength = section.U16() & 0x0FFF;
  // The loops lie between the 12-byte header and the CRC.
  int loopBytes = sectionLength - kMinPmtSectionLength;
  if (programInfoLength > loopBytes) {
    if (report_due(mDescriptorReports))
      VYX_LOG("PMT: program_info_length %d past the section (%d B) pid 0x%x\n", programInfoLength,
              loopBytes, packetId);
    ++mDescriptorReports;
    return false;
  }
  unsigned short pid = static_cast<unsigned short>(packetId & 0x1FFF);
  if (programInfoLength != 0)
    AnalyzeDescriptor(packetPtr + 12, static_cast<unsigned short>(programInfoLength), pid, 1);

  int esLength = loopBytes - programInfoLength;
  if (esLength != 0 &&
      !AnalyzePmtProgramInfoLoop(packetPtr + 12 + programInfoLength, packetId, programNumber, esLength))
    return false;

  ++mpStatistics->mPmtCounter;
  return true;
}

bool TsFilter::AnalyzePmtProgramInfoLoop(unsigned char* packetPtr, int packetMapPid,
                                         int program_number, int length) {
  SectionReader loop(packetPtr, length);
  const PacketIdMapType& pmt = mPacketIdMap[packetMapPid & 0x1FFF];
  while (loop.Remaining() > 0) {
    if (!loop.Has(5)) {
      if (report_due(mDescriptorReports))
        VYX_LOG("PMT: truncated stream entry (%d B left) pid 0x%x\n", loop.Remaining(), packetMapPid);
      ++mDescriptorReports;
      return false;
    }
    unsigned char streamType = loop.U8();
    unsigned short pid = static_cast<unsigned short>(loop.U16() & 0x1FFF);
    int esInfoLength = loop.U16() & 0x0FFF;
    if (!loop.Has(esInfoLength)) {
      // The entry claims more descriptor bytes than the loop holds: it and
      // everything after it are not trusted.
      if (report_due(mDescriptorReports))
        VYX_LOG("PMT: ES_info_length %d past the loop (%d B left) pid 0x%x\n", esInfoLength,
                loop.Remaining(), packetMapPid);
      ++mDescriptorReports;
      return false;
    }
    unsigned char* descriptors = const_cast<unsigned char*>(loop.Ptr());
    loop.Skip(esInfoLength);
    if (pid == 0) continue;

    PacketIdMapType& e = mPacketIdMap[pid];
    if (e.status != ePidKnown) {
      e.streamType = streamType;
      e.programId = static_cast<uint16_t>(program_number);
      e.transportId = pmt.transportId;
      if (mpTunerManager)
        mpTunerManager->SetInfoForProgram(e.transportId, e.programId, streamType, e.scrambling);
      e.type = ePidTypeEs;
      e.status = ePidKnown;
    }
    if (esInfoLength != 0) AnalyzeDescriptor(descriptors, static_cast<unsigned short>(esInfoLength), pid, 0);
  }
  return true;
}

bool TsFilter::AnalyzeDescriptor(unsigned char* pPtr, unsigned short length, unsigned short pid,
                                 int /*caller*/) {
  if (length == 0 || pPtr == nullptr) return true;
  pid &= 0x1FFF;
  SectionReader loop(pPtr, length);
  while (loop.Remaining() > 0) {
    int curbyte = loop.Pos();
    if (!loop.Has(2) || !loop.Has(2 + loop.Peek(1))) {
      // A descriptor whose header or body runs past the loop is not read.
      if (report_due(mDescriptorReports))
        VYX_LOG("descriptors too long: curbyte %d, length %d\n",
                loop.Has(2) ? curbyte + 2 + loop.Peek(1) : length + 1, length);
      ++mDescriptorReports;
      break;
    }
    unsigned char* d = const_cast<unsigned char*>(loop.Ptr());
    unsigned char tag = d[0];
    unsigned char dlen = d[1];
    loop.Skip(2 + dlen);
    if (dlen == 0) continue;
    ++mPacketIdMap[pid].dbg1;
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

bool TsFilter::AnalyzeDescriptorVideo(unsigned char*, unsigned short, unsigned short) { return false; }
bool TsFilter::AnalyzeDescriptorAudio(unsigned char*, unsigned short, unsigned short) { return false; }
bool TsFilter::AnalyzeDescriptorAc3(unsigned char*, unsigned short, unsigned short) { return false; }
bool TsFilter::AnalyzeDescriptorServiceLocation(unsigned char*, unsigned short, unsigned short) {
  return false;
}

bool TsFilter::AnalyzeDescriptorLanguage(unsigned char* pPtr, unsigned short /*length*/,
                                         unsigned short pid) {
  pid &= 0x1FFF;
  PacketIdMapType& e = mPacketIdMap[pid];
  int descriptorLength = pPtr[1];
  SectionReader body(pPtr + 2, descriptorLength);
  int audioType = 0;
  int entries = 0;
  while (body.Has(4)) {
    const unsigned char* entry = body.Ptr();
    memcpy(e.audioLanguage, entry, 3);
    e.audioLanguage[3] = 0;
    audioType = entry[3];
    body.Skip(4);
    ++entries;
    if (e.dbg1 % 264 == 0)
      VYX_LOG("\nLLLLL Found lang %s for pid 0x%x, type 0x%.2x, trid 0x%x, prid 0x%x\n\n",
              e.audioLanguage, pid, audioType, e.transportId, e.programId);
  }
  if (body.Remaining() != 0) {
    if (report_due(mDescriptorReports))
      VYX_ERROR("Bad descriptor length (remainder %d)", body.Remaining());
    ++mDescriptorReports;
  }
  // A descriptor without one whole entry names no language.
  if (entries == 0) return false;
  if (mMyType == 'T' && e.transportId == 0) return false;
  if (e.programId == 0) return false;
  if (mpTunerManager)
    mpTunerManager->SetLanguageForProgram(e.transportId, e.programId, e.audioLanguage,
                                          Language::eAudio, audioType, pid, 0);
  return false;
}

bool TsFilter::AnalyzeDescriptorCaption(unsigned char* pPtr, unsigned short /*length*/,
                                        unsigned short pid) {
  pid &= 0x1FFF;
  PacketIdMapType& e = mPacketIdMap[pid];
  int descriptorLength = pPtr[1];
  SectionReader body(pPtr + 2, descriptorLength);
  int services = body.U8() & 0x1F;
  int wanted = 6 * services;
  if (descriptorLength - wanted != 1 && report_due(mCaptionLogs))
    VYX_LOG("Caption: descriptor_length (%d) - 1 - number_of_services (%d) * 6  = %d\n",
            descriptorLength, services, descriptorLength - 1 - wanted);
  // Walk what the services need, never past the descriptor.
  int serviceNumber = 0;
  int walked = 0;
  while (walked + 6 <= wanted && body.Has(6)) {
    const unsigned char* s = body.Ptr();
    memcpy(e.captionLanguage, s, 3);
    e.captionLanguage[3] = 0;
    int digitalCc = (s[3] >> 7) & 1;
    serviceNumber = s[3] & 0x3F;
    int easyReader = (s[4] >> 7) & 1;
    int wideAspect = (s[4] >> 6) & 1;
    if (report_due(mCaptionLogs))
      VYX_LOG("CCCCC caption %s for pid 0x%.4x digital_cc %d, caption_service_number 0x%x easy_reader "
              "%d, wide_aspect %d\n",
              e.captionLanguage, pid, digitalCc, serviceNumber, easyReader, wideAspect);
    ++mCaptionLogs;
    body.Skip(6);
    walked += 6;
  }
  if (walked != wanted) {
    if (report_due(mDescriptorReports)) VYX_LOG("Bad descriptor!\n");
    ++mDescriptorReports;
    return false;
  }
  if (services == 0) return false;  // nothing announced
  if (mMyType == 'T' && e.transportId == 0) return false;
  if (e.programId == 0) return false;
  if (mpTunerManager)
    mpTunerManager->SetLanguageForProgram(e.transportId, e.programId, e.captionLanguage,
                                          Language::eCaption, 0, pid, serviceNumber);
  return false;
}
