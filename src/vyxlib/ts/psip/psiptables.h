#ifndef VYX_PSIPTABLES_H
#define VYX_PSIPTABLES_H

// ATSC PSIP tables decoded before they are used (see ts/psitables.h for the
// rules every decoder follows): VCT, MGT, EIT, ETT and STT.  The reserved
// bits that only warrant a log line are kept as their bytes, for the caller
// to judge; texts stay multiple string structures (pointers into the
// section), decoded when they are reported.

#include <cstdint>

#include "ts/psitables.h"

// ---- VCT (terrestrial 0xC8, cable 0xC9) ----
struct VctChannel {
  char shortName[16];  // 7 UTF-16 code units as received, two zero bytes
  uint16_t major;
  uint16_t minor;
  uint8_t modulation;
  uint32_t carrier;
  uint16_t channelTsid;
  uint16_t programNumber;
  uint16_t sourceId;
  uint8_t majorByte;        // byte 14: four reserved bits above the major number
  uint8_t serviceByte;      // byte 26: reserved bits by table (0x0D TVCT, 0x01 CVCT)
  uint8_t descriptorsByte;  // byte 30: six reserved bits above descriptors_length
  int offset;               // of the entry in the section
  DescriptorLoop descriptors;
};

struct VctSection {
  static constexpr int kMinSectionLength = 7 + 2 + 4;  // header bytes 3..9, descriptors length, CRC
  static constexpr int kEntryBytes = 32;               // fixed part of one channel
  static constexpr int kMaxChannels = (kMaxShortSectionLength - kMinSectionLength) / kEntryBytes;
  uint8_t tableId;
  uint8_t headerByte1;  // four reserved bits above section_length
  uint8_t headerByte5;  // two reserved bits above the version
  uint16_t transportId;
  int announced;        // num_channels_in_section
  int count;
  // channels[count], when a channel's descriptors were cut, holds that
  // channel's fixed part (for its reserved-bit checks).
  VctChannel channels[kMaxChannels + 1];
  TableFault fault;
};

bool DecodeVct(const unsigned char* section, int available, VctSection* out);

// ---- MGT (0xC7) ----
struct MgtEntry {
  uint16_t tableType;
  uint16_t pid;
  uint8_t pidByte;          // entry byte 2: three reserved bits above the PID
  uint8_t versionByte;      // entry byte 4: three reserved bits above the version
  uint8_t descriptorsByte;  // entry byte 9: four reserved bits above descriptors_length
  DescriptorLoop descriptors;
};

struct MgtSection {
  static constexpr int kMinSectionLength = 11 - 3 + 2 + 4;  // header, descriptors length, CRC
  static constexpr int kEntryBytes = 11;                    // fixed part of one table entry
  static constexpr int kMaxEntries = (kMaxLongSectionLength - kMinSectionLength) / kEntryBytes;
  uint8_t headerByte1;
  int announced;  // tables_defined
  int count;
  MgtEntry entries[kMaxEntries + 1];  // as VctSection::channels
  TableFault fault;
};

bool DecodeMgt(const unsigned char* section, int available, MgtSection* out);

// ---- EIT (0xCB) ----
struct EitEvent {
  uint16_t eventId;
  uint32_t startTime;  // GPS seconds
  uint32_t lengthInSeconds;
  const unsigned char* title;  // multiple string structure, titleLength bytes
  uint8_t titleLength;
};

struct EitSection {
  static constexpr int kMinSectionLength = 10 - 3 + 4;  // header up to num_events, CRC
  static constexpr int kEventBytes = 10;                // fixed part of an event before its title
  static constexpr int kMaxEvents = 255;                // num_events_in_section is one byte
  uint16_t sourceId;
  int announced;
  int count;
  EitEvent events[kMaxEvents];
  TableFault fault;  // eReserved entry 0: the header's; entry n: event n's descriptors length
};

bool DecodeEit(const unsigned char* section, int available, EitSection* out);

// ---- ETT (0xCC) ----
struct EttText {
  static constexpr int kMinSectionLength = 13 - 3 + 4;  // header up to ETM_id, CRC
  uint8_t headerByte1;
  uint32_t etmId;
  const unsigned char* message;  // multiple string structure up to the CRC
  int messageLength;
  TableFault fault;
};

bool DecodeEtt(const unsigned char* section, int available, EttText* out);

// ---- STT (0xCD) ----
struct SttTime {
  static constexpr int kMinSectionLength = 13 + 4;  // bytes 3..15, CRC
  uint32_t systemTime;
  uint8_t gpsUtcOffset;
  uint16_t daylight;
  TableFault fault;
};

bool DecodeStt(const unsigned char* section, int available, SttTime* out);

#endif
