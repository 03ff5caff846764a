// ATSC Master Guide Table (0xC7) and System Time Table (0xCD).
//
// The MGT names the PIDs of the other PSIP tables; typing them in the PID
// map is what makes the packet analysis collect EIT and ETT PIDs.  The STT
// sets the system time every section.
//
// Sections come complete and CRC-checked from the collector, under the
// filter's mutex.  Every field is read through SectionReader and bounded by
// the section's own length.

#include "core/reportdue.h"
#include "ts/sectionreader.h"
#include "ts/psip/time.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

// Largest private section: section_length 4093 (4096 bytes in all).
const int kMaxLongSectionLength = 4093;
// PSIP sections carried like PSI tables (the STT): section_length 1021.
const int kMaxShortSectionLength = 1021;
const int kMgtHeader = 11;          // up to and with tables_defined
// The header, the MGT's descriptors_length field and the CRC.
const int kMgtMinSectionLength = kMgtHeader - 3 + 2 + 4;
const int kMgtEntryBytes = 11;      // fixed part of one table entry
const int kSttMinSectionLength = 13 + 4;  // bytes 3..15 and the CRC
const int kBasePid = 0x1FFB;
const int kNullPid = 0x1FFF;

unsigned int mgt_reports;

// The PID map change one MGT entry asks for.
void TypeTablePid(PacketIdMapType& entry, unsigned int tableType) {
  entry.type = ePidTypeNone;
  if (tableType <= 0x0003) {
    entry.type = ePidTypeVct;
  } else if (tableType == 0x0004) {
    entry.type = ePidTypeEtt;  // channel ETT
  } else if (tableType == 0x0005) {
    entry.type = ePidTypeDcc;  // DCCSCT
  } else if (tableType >= 0x0100 && tableType <= 0x017F) {
    entry.type = ePidTypeEit;  // EIT-0 .. EIT-127
  } else if (tableType >= 0x0200 && tableType <= 0x027F) {
    entry.type = ePidTypeEtt;  // event ETTs
  } else if (tableType >= 0x0301 && tableType <= 0x03FF) {
    entry.type = ePidTypeRrt;
  } else if (tableType >= 0x0400 && tableType <= 0x0FFF) {
    entry.status = ePidIgnored;  // private and reserved
  } else if (tableType >= 0x1400 && tableType <= 0x14FF) {
    entry.type = ePidTypeDcc;
  } else {
    entry.status = ePidIgnored;
    VYX_LOG("Mgt: Invalid table_type received: %x\n", tableType);
  }
}

}  // namespace

bool TsFilter::AnalyzeSectionMgt(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  if (pSection[0] != 0xC7) {
    VYX_ERROR("BUG: %x", pSection[0]);
    return false;
  }
  int sectionLength = ((pSection[1] & 0x0F) << 8) | pSection[2];
  if (sectionLength > kMaxLongSectionLength || sectionLength < kMgtMinSectionLength) {
    if (report_due(mgt_reports)) VYX_LOG("Mgt: Bad section length: %d\n", sectionLength);
    ++mgt_reports;
    return false;
  }
  SectionReader section(pSection, sectionLength + 3);
  if ((section.Peek(1) & 0xF0) != 0xF0)
    VYX_LOG("Mgt: reserved not chking: pkt[%d] %.2x mask 0x30\n", 1, section.Peek(1));
  section.Skip(9);
  int tablesDefined = section.U16();
  if (tablesDefined < 1) return true;

  // The entries lie between the header and the MGT's own descriptors'
  // length field in front of the CRC.
  SectionReader entries = section.Sub(section.Remaining() - 2 - 4);
  for (int i = 0; i < tablesDefined; ++i) {
    if (!entries.Has(kMgtEntryBytes)) {
      if (report_due(mgt_reports))
        VYX_LOG("Mgt: table %d of %d past the section (%d B left)\n", i + 1, tablesDefined,
                entries.Remaining());
      ++mgt_reports;
      return false;
    }
    unsigned int tableType = entries.U16();
    unsigned char b2 = entries.U8();
    unsigned char b3 = entries.U8();
    if ((b2 & 0xE0) != 0xE0) VYX_LOG("Mgt: reserved (2) byte is %.2x, mask 0xE0\n", b2);
    int pid = ((b2 & 0x1F) << 8) | b3;
    unsigned char b4 = entries.U8();
    if ((b4 & 0xE0) != 0xE0) VYX_LOG("Mgt: reserved (3) byte is %.2x, mask 0xE0\n", b4);
    entries.Skip(4);  // number_bytes: not used
    unsigned char b9 = entries.U8();
    if ((b9 & 0xF0) != 0xF0) VYX_LOG("Mgt: reserved (4) byte is %.2x, mask 0xF0\n", b9);
    int descriptorsLength = ((b9 & 0x0F) << 8) | entries.U8();
    if (!entries.Has(descriptorsLength)) {
      if (report_due(mgt_reports))
        VYX_LOG("Mgt: descriptors_length %d of table %d past the section (%d B left)\n",
                descriptorsLength, i + 1, entries.Remaining());
      ++mgt_reports;
      return false;
    }
    SectionReader descriptors = entries.Sub(descriptorsLength);
    if (descriptorsLength != 0)
      AnalyzeDescriptor(descriptors.Ptr(), static_cast<unsigned short>(descriptorsLength), 0, 3);
    // PID 0 carries the PAT and the null PID nothing: no table is taken
    // there.  The base PID (where the VCTs are named) is always analysed,
    // so a table type that would have it ignored only changes its type.
    if (pid == 0 || pid == kNullPid) {
      if (report_due(mgt_reports))
        VYX_LOG("Mgt: table_type %x on PID 0x%x not taken\n", tableType, pid);
      ++mgt_reports;
      continue;
    }
    PacketIdMapType& entry = mPacketIdMap[pid];
    int8_t status = entry.status;
    TypeTablePid(entry, tableType);
    if (pid == kBasePid) entry.status = status;
  }
  return true;
}

bool TsFilter::AnalyzeSectionStt(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  if (pSection[0] != 0xCD) {
    VYX_ERROR("BUG: %x", pSection[0]);
    return false;
  }
  int sectionLength = ((pSection[1] & 0x0F) << 8) | pSection[2];
  if (sectionLength > kMaxShortSectionLength || sectionLength < kSttMinSectionLength) {
    if (report_due(mgt_reports)) VYX_LOG("Stt: Bad section length: %d\n", sectionLength);
    ++mgt_reports;
    return false;
  }
  SectionReader section(pSection, sectionLength + 3);
  section.Skip(9);
  unsigned int systemTime = section.U32();
  unsigned char gpsUtcOffset = section.U8();
  unsigned short daylight = section.U16();
  if (!section.Ok()) return false;
  if (mpTime != nullptr) mpTime->SetTime(systemTime, gpsUtcOffset, daylight);
  return true;
}
