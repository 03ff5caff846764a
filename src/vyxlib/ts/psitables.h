#ifndef VYX_PSITABLES_H
#define VYX_PSITABLES_H

// Tables decoded before they are used: each decoder reads one section
// through SectionReader into a fixed-size struct (nothing is allocated, so
// the packet path may decode), and the filter reports the struct.  A decoder
// returns false on a malformed section and says why in `fault`; the whole
// entries before a cut one stay in the struct, as the filter keeps them.
// Pointers in a struct (descriptor loops, texts) point into the section,
// which must outlive the struct.
//
// This file: what every decoder shares, and the PAT and PMT.

#include <cstdint>

#include "ts/sectionreader.h"

// What made a decoder refuse a section, for the caller's log line.
struct TableFault {
  enum Kind : uint8_t {
    eNone = 0,
    eTableId,         // value: the table_id
    eSectionLength,   // value: section_length (-1: not even its 3 bytes)
    eReserved,        // value: the byte whose reserved bits stop the table
    eEntryCut,        // an entry's fixed part runs past its loop; value: the count announced
    eDescriptorsCut,  // a descriptor loop's length runs past; value: that length
    eTextCut,         // a text's length runs past; value: that length
  };
  Kind kind = eNone;
  int entry = 0;  // 1-based entry at fault; 0: the header
  int value = 0;
  int left = 0;   // bytes left in the loop where it happened

  void Set(Kind k, int atEntry, int fieldValue, int bytesLeft) {
    kind = k;
    entry = atEntry;
    value = fieldValue;
    left = bytesLeft;
  }
};

// Reads table_id and section_length and checks the length against
// [minLength, maxLength] and the bytes that exist (available, from the
// table_id byte).  Returns a cursor over the whole section (header, body and
// CRC), bad on a refused section with the fault set.
SectionReader OpenSection(const unsigned char* section, int available, int minLength, int maxLength,
                          TableFault* fault);

// A run of descriptors inside a section.  Plain (no member initializers):
// a decoder's struct on the stack must not clear hundreds of entries per
// section before it fills the few it has.
struct DescriptorLoop {
  const unsigned char* data;
  uint16_t length;
};

// ---- PAT ----
struct PatEntry {
  uint16_t programNumber;  // 0: the network PID
  uint16_t pid;
};

struct PatSection {
  static constexpr int kMinSectionLength = 9;  // 5 header bytes after the length, CRC
  static constexpr int kMaxEntries = (kMaxShortSectionLength - kMinSectionLength) / 4;
  uint16_t transportId;
  uint8_t versionBits;  // byte 5 & 0x3E
  int count;
  PatEntry entries[kMaxEntries];
  TableFault fault;
};

// A piece of an entry left before the CRC is no entry (and no fault).
bool DecodePat(const unsigned char* section, int available, PatSection* out);

// ---- PMT ----
struct PmtStream {
  uint8_t streamType;
  uint16_t pid;
  DescriptorLoop descriptors;  // ES_info
};

struct PmtSection {
  static constexpr int kMinSectionLength = 13;  // 9 header bytes after the length, CRC
  static constexpr int kMaxStreams = (kMaxShortSectionLength - kMinSectionLength) / 5;
  uint16_t programNumber;
  uint8_t version;
  DescriptorLoop programInfo;
  int count;
  PmtStream streams[kMaxStreams];
  TableFault fault;
};

// A stream entry cut in its header or its ES_info refuses the section after
// the program info and the whole entries before it were decoded; a cut
// program_info (fault entry 0) refuses it before anything.
bool DecodePmt(const unsigned char* section, int available, PmtSection* out);

#endif
