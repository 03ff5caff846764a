// PAT and PMT decoders, and the section opening every decoder shares.

#include "ts/psitables.h"

SectionReader OpenSection(const unsigned char* section, int available, int minLength, int maxLength,
                          TableFault* fault) {
  *fault = TableFault();
  SectionReader head(section, available);
  head.U8();  // table_id: the caller's to check
  int sectionLength = head.Len12();
  if (!head.Ok()) {
    fault->kind = TableFault::eSectionLength;
    fault->value = -1;
    return SectionReader::Refused();
  }
  if (sectionLength < minLength || sectionLength > maxLength || !head.Has(sectionLength)) {
    fault->kind = TableFault::eSectionLength;
    fault->value = sectionLength;
    return SectionReader::Refused();
  }
  return SectionReader(section, sectionLength + 3);
}

bool DecodePat(const unsigned char* section, int available, PatSection* out) {
  out->count = 0;
  SectionReader whole = OpenSection(section, available, PatSection::kMinSectionLength,
                                    kMaxShortSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  whole.Skip(3);
  out->transportId = whole.U16();
  out->versionBits = static_cast<uint8_t>(whole.U8() & 0x3E);
  whole.Skip(2);  // section_number, last_section_number
  SectionReader entries = whole.Sub(whole.Remaining() - kSectionCrcBytes);
  while (entries.Has(4) && out->count < PatSection::kMaxEntries) {
    PatEntry& e = out->entries[out->count++];
    e.programNumber = entries.U16();
    e.pid = entries.PID13();
  }
  return true;
}

bool DecodePmt(const unsigned char* section, int available, PmtSection* out) {
  out->count = 0;
  out->programInfo = DescriptorLoop();
  SectionReader whole = OpenSection(section, available, PmtSection::kMinSectionLength,
                                    kMaxShortSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  whole.Skip(3);
  out->programNumber = whole.U16();
  out->version = static_cast<uint8_t>((whole.U8() >> 1) & 0x1F);
  whole.Skip(4);  // section numbers, PCR PID
  int programInfoLength = whole.Len12();
  // Both loops lie between the header and the CRC.
  int loopBytes = whole.Remaining() - kSectionCrcBytes;
  if (programInfoLength > loopBytes) {
    out->fault.Set(TableFault::eDescriptorsCut, 0, programInfoLength, loopBytes);
    return false;
  }
  SectionReader info = whole.Sub(programInfoLength);
  out->programInfo.data = info.Ptr();
  out->programInfo.length = static_cast<uint16_t>(programInfoLength);
  SectionReader streams = whole.Sub(loopBytes - programInfoLength);
  while (streams.Remaining() > 0 && out->count < PmtSection::kMaxStreams) {
    int left = streams.Remaining();
    uint8_t streamType = streams.U8();
    uint16_t pid = streams.PID13();
    int esInfoLength = streams.Len12();
    if (!streams.Ok()) {
      out->fault.Set(TableFault::eEntryCut, out->count + 1, 0, left);
      return false;
    }
    SectionReader descriptors = streams.Sub(esInfoLength);
    if (!streams.Ok()) {
      out->fault.Set(TableFault::eDescriptorsCut, out->count + 1, esInfoLength, descriptors.Length());
      return false;
    }
    PmtStream& s = out->streams[out->count++];
    s.streamType = streamType;
    s.pid = pid;
    s.descriptors.data = descriptors.Ptr();
    s.descriptors.length = static_cast<uint16_t>(esInfoLength);
  }
  return true;
}
