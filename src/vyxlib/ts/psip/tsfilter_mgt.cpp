// ATSC Master Guide Table (0xC7) and System Time Table (0xCD).
//
// The MGT names the PIDs of the other PSIP tables; typing them in the PID
// map is what makes the packet analysis collect EIT and ETT PIDs.  The STT
// sets the system time every section.
//
// Sections come complete and CRC-checked from the collector, under the
// filter's mutex.  Each is decoded first (DecodeMgt, DecodeStt), every
// field bounded by the section's own length, and then used.

#include "core/reportdue.h"
#include "ts/psip/psiptables.h"
#include "ts/time.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

const int kBasePid = 0x1FFB;
const int kNullPid = 0x1FFF;

// Filter thread only, under the filter's mutex: an MGT may name hundreds of
// tables, too many for the player's stack.
MgtSection mgt_section;

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
    VYX_LOG_LIMITED("Mgt: Invalid table_type received: %x\n", tableType);
  }
}

// The reserved bits of one table entry, which only warrant a log line.
void LogMgtReserved(const MgtEntry& e) {
  if ((e.pidByte & 0xE0) != 0xE0) VYX_LOG_LIMITED("Mgt: reserved (2) byte is %.2x, mask 0xE0\n", e.pidByte);
  if ((e.versionByte & 0xE0) != 0xE0) VYX_LOG_LIMITED("Mgt: reserved (3) byte is %.2x, mask 0xE0\n", e.versionByte);
  if ((e.descriptorsByte & 0xF0) != 0xF0)
    VYX_LOG_LIMITED("Mgt: reserved (4) byte is %.2x, mask 0xF0\n", e.descriptorsByte);
}

}  // namespace

bool TsFilter::AnalyzeSectionMgt(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  MgtSection& mgt = mgt_section;
  bool whole = DecodeMgt(pSection, kMaxLongSection, &mgt);
  const TableFault& fault = mgt.fault;
  if (fault.kind == TableFault::eTableId) {
    VYX_ERROR("BUG: %x", fault.value);
    return false;
  }
  if (fault.kind == TableFault::eSectionLength) {
    VYX_LOG_LIMITED("Mgt: Bad section length: %d\n", fault.value);
    return false;
  }
  if ((mgt.headerByte1 & 0xF0) != 0xF0)
    VYX_LOG_LIMITED("Mgt: reserved not chking: pkt[%d] %.2x mask 0x30\n", 1, mgt.headerByte1);
  for (int i = 0; i < mgt.count; ++i) ReportMgtEntry(mgt.entries[i]);
  if (whole) return true;
  if (fault.kind == TableFault::eDescriptorsCut) LogMgtReserved(mgt.entries[mgt.count]);
  if (fault.kind == TableFault::eEntryCut)
    VYX_LOG_LIMITED("Mgt: table %d of %d past the section (%d B left)\n", fault.entry, fault.value, fault.left);
  else
    VYX_LOG_LIMITED("Mgt: descriptors_length %d of table %d past the section (%d B left)\n", fault.value,
                    fault.entry, fault.left);
  return false;
}

void TsFilter::ReportMgtEntry(const MgtEntry& e) {
  LogMgtReserved(e);
  if (e.descriptors.length != 0) AnalyzeDescriptor(e.descriptors.data, e.descriptors.length, 0, 3);
  // PID 0 carries the PAT and the null PID nothing: no table is taken
  // there.  The base PID (where the VCTs are named) is always analysed,
  // so a table type that would have it ignored only changes its type.
  if (e.pid == 0 || e.pid == kNullPid) {
    VYX_LOG_LIMITED("Mgt: table_type %x on PID 0x%x not taken\n", e.tableType, e.pid);
    return;
  }
  PacketIdMapType& entry = mPacketIdMap[e.pid];
  int8_t status = entry.status;
  TypeTablePid(entry, e.tableType);
  if (e.pid == kBasePid) entry.status = status;
}

bool TsFilter::AnalyzeSectionStt(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  SttTime stt;
  if (!DecodeStt(pSection, kMaxShortSection, &stt)) {
    if (stt.fault.kind == TableFault::eTableId) {
      VYX_ERROR("BUG: %x", stt.fault.value);
    } else if (stt.fault.kind == TableFault::eSectionLength) {
      VYX_LOG_LIMITED("Stt: Bad section length: %d\n", stt.fault.value);
    }
    return false;
  }
  if (mpTime != nullptr) mpTime->SetTime(stt.systemTime, stt.gpsUtcOffset, stt.daylight);
  return true;
}
