// ATSC virtual channel tables: the terrestrial (0xC8) and cable (0xC9)
// VCT.  Each channel entry names the program (program_number on the
// transport_stream_id of the section) with its short name, its major/minor
// channel number, modulation, carrier and source_id; the tuner manager keeps
// them with the program found by the PAT, and the guide links events to the
// program through the source_id.
//
// Sections come complete and CRC-checked from the collector, under the
// filter's mutex.  The section is decoded first (DecodeVct), every entry
// bounded by the section's own length (the CRC and the additional
// descriptors' length field are not channel bytes): an entry or a
// descriptor loop that runs past them ends the section, after the whole
// channels before it were reported.

#include <cstring>

#include "core/reportdue.h"
#include "ts/psip/psiptables.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

// The short name handed to the tuner manager: 7 UTF-16 code units as
// received and two zero bytes.  Filter thread only.
char vct_short_name[16];

// The reserved bits of one channel entry, which only warrant a log line.
void LogVctReserved(const VctChannel& c, int tableId) {
  const unsigned char reservedMask = (tableId == 0xC8) ? 0x0D : 0x01;
  if ((c.majorByte & 0xF0) != 0xF0)
    VYX_LOG_LIMITED("Reserved not checking out! (1) pkt[curbyte] 0x%.2x mask 0xF0, tableId 0x%x\n", c.majorByte,
                    tableId);
  if ((c.serviceByte & reservedMask) != reservedMask)
    VYX_LOG_LIMITED("Vct: Reserved not checking (2) curbyte 0x%.2x should be 0x%.2x\n", c.serviceByte,
                    reservedMask);
  if ((c.descriptorsByte & 0xFC) != 0xFC)
    VYX_LOG_LIMITED("Reserved not checking out! (3) pkt[curbyte] 0x%.2x [%d ?= 39] mask 0xFC\n",
                    c.descriptorsByte, c.offset + 30);
}

}  // namespace

bool TsFilter::AnalyzeSectionVct(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  VctSection vct;
  bool whole = DecodeVct(pSection, kMaxShortSection, &vct);
  const TableFault& fault = vct.fault;
  if (fault.kind == TableFault::eTableId) {
    VYX_ERROR("BUG: %x", fault.value);
    return false;
  }
  if (fault.kind == TableFault::eSectionLength) {
    VYX_LOG_LIMITED("Vct: Bad section length: %d (table 0x%x)\n", fault.value, vct.tableId);
    return false;
  }
  if ((vct.headerByte1 & 0xF0) != 0xF0 || (vct.headerByte5 & 0xC0) != 0xC0)
    VYX_LOG_LIMITED("Vct: reserved not chking: pkt[1] %.2x mask 0x30, pkt[4] %.2x mask 0xC0\n", vct.headerByte1,
                    vct.headerByte5);
  for (int i = 0; i < vct.count; ++i) ReportVctChannel(vct, vct.channels[i]);
  if (whole) return true;  // the additional descriptors after the channels are not read
  if (fault.kind == TableFault::eDescriptorsCut) LogVctReserved(vct.channels[vct.count], vct.tableId);
  if (fault.kind == TableFault::eEntryCut)
    VYX_LOG_LIMITED("Vct: channel %d of %d past the section (%d B left, table 0x%x)\n", fault.entry,
                    fault.value, fault.left, vct.tableId);
  else
    VYX_LOG_LIMITED("Vct: descriptors_length %d of channel %d past the section (%d B left)\n", fault.value,
                    fault.entry, fault.left);
  return false;
}

void TsFilter::ReportVctChannel(const VctSection& vct, const VctChannel& c) {
  LogVctReserved(c, vct.tableId);
  if (c.descriptors.length != 0) AnalyzeDescriptor(c.descriptors.data, c.descriptors.length, 0, 2);
  memcpy(vct_short_name, c.shortName, sizeof(vct_short_name));
  if (mpTunerManager)
    mpTunerManager->SetPsipInfoForProgram(vct.transportId, c.programNumber, vct_short_name, c.major,
                                          c.minor, c.modulation, c.carrier, c.channelTsid, c.sourceId);
}
