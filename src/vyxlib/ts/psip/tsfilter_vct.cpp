// ATSC virtual channel tables: the terrestrial (0xC8) and cable (0xC9)
// VCT.  Each channel entry names the program (program_number on the
// transport_stream_id of the section) with its short name, its major/minor
// channel number, modulation, carrier and source_id; the tuner manager keeps
// them with the program found by the PAT, and the guide links events to the
// program through the source_id.
//
// Sections come complete and CRC-checked from the collector, under the
// filter's mutex.  Every entry is read through SectionReader and bounded by
// the section's own length (the CRC and the additional descriptors' length
// field are not channel bytes): an entry or a descriptor loop that runs past
// them ends the section.

#include <cstring>

#include "core/reportdue.h"
#include "ts/sectionreader.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// A PSIP table section is at most 1024 bytes (section_length 1021).
const int kMaxSectionLength = 1021;
// Bytes 3..9 of the header, additional_descriptors_length and the CRC.
const int kMinVctSectionLength = 7 + 2 + 4;
const int kChannelEntryBytes = 32;  // fixed part of one channel entry

// The short name handed to the tuner manager: 7 UTF-16 code units as
// received and two zero bytes.  Filter thread only.
char vct_short_name[16];


}  // namespace

bool TsFilter::AnalyzeSectionVct(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  int tableId = pSection[0];
  if (tableId != 0xC8 && tableId != 0xC9) {
    VYX_ERROR("BUG: %x", tableId);
    return false;
  }
  int sectionLength = ((pSection[1] & 0x0F) << 8) | pSection[2];
  if (sectionLength > kMaxSectionLength || sectionLength < kMinVctSectionLength) {
    if (report_due(mDescriptorReports))
      VYX_LOG("Vct: Bad section length: %d (table 0x%x)\n", sectionLength, tableId);
    ++mDescriptorReports;
    return false;
  }
  SectionReader section(pSection, sectionLength + 3);
  if ((section.Peek(1) & 0xF0) != 0xF0 || (section.Peek(5) & 0xC0) != 0xC0)
    VYX_LOG("Vct: reserved not chking: pkt[1] %.2x mask 0x30, pkt[4] %.2x mask 0xC0\n",
            section.Peek(1), section.Peek(5));
  section.Skip(3);
  unsigned short transportId = section.U16();
  section.Skip(4);  // version, section numbers, protocol_version
  int numChannels = section.U8();
  if (numChannels == 0) return true;

  // The channels lie between the 10-byte header and the additional
  // descriptors' length field in front of the CRC.
  SectionReader channels = section.Sub(sectionLength + 3 - 10 - 2 - 4);
  const unsigned char reservedMask = (tableId == 0xC8) ? 0x0D : 0x01;
  for (int i = 0; i < numChannels; ++i) {
    int entryStart = 10 + channels.Pos();
    if (!channels.Has(kChannelEntryBytes)) {
      if (report_due(mDescriptorReports))
        VYX_LOG("Vct: channel %d of %d past the section (%d B left, table 0x%x)\n", i + 1,
                numChannels, channels.Remaining(), tableId);
      ++mDescriptorReports;
      return false;
    }
    SectionReader entry = channels.Sub(kChannelEntryBytes);
    memcpy(vct_short_name, entry.Ptr(), 14);
    vct_short_name[14] = 0;
    vct_short_name[15] = 0;
    entry.Skip(14);

    unsigned char b14 = entry.U8();
    unsigned char b15 = entry.U8();
    unsigned char b16 = entry.U8();
    if ((b14 & 0xF0) != 0xF0)
      VYX_LOG("Reserved not checking out! (1) pkt[curbyte] 0x%.2x mask 0xF0, tableId 0x%x\n", b14,
              tableId);
    unsigned short major = static_cast<unsigned short>((b14 & 0x0F) * 64 + (b15 >> 2));
    unsigned short minor = static_cast<unsigned short>((b15 & 0x03) * 256 + b16);
    unsigned char modulation = entry.U8();
    unsigned int carrier = entry.U32();
    unsigned short channelTsid = entry.U16();
    unsigned short programNumber = entry.U16();
    unsigned char b26 = entry.U8();
    if ((b26 & reservedMask) != reservedMask)
      VYX_LOG("Vct: Reserved not checking (2) curbyte 0x%.2x should be 0x%.2x\n", b26, reservedMask);
    entry.Skip(1);  // service_type
    unsigned short sourceId = entry.U16();
    unsigned char b30 = entry.U8();
    if ((b30 & 0xFC) != 0xFC)
      VYX_LOG("Reserved not checking out! (3) pkt[curbyte] 0x%.2x [%d ?= 39] mask 0xFC\n", b30,
              entryStart + 30);
    int descriptorsLength = ((b30 & 0x03) << 8) | entry.U8();
    if (!channels.Has(descriptorsLength)) {
      if (report_due(mDescriptorReports))
        VYX_LOG("Vct: descriptors_length %d of channel %d past the section (%d B left)\n",
                descriptorsLength, i + 1, channels.Remaining());
      ++mDescriptorReports;
      return false;
    }
    SectionReader descriptors = channels.Sub(descriptorsLength);
    if (descriptorsLength != 0)
      AnalyzeDescriptor(descriptors.Ptr(),
                        static_cast<unsigned short>(descriptorsLength), 0, 2);
    if (mpTunerManager)
      mpTunerManager->SetPsipInfoForProgram(transportId, programNumber, vct_short_name, major, minor,
                                            modulation, carrier, channelTsid, sourceId);
  }
  // The additional descriptors after the channels are not read.
  return true;
}
