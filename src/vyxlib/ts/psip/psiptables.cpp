// PSIP table decoders: every field through SectionReader, every loop bounded
// by the section's own length (the CRC and the trailing descriptors' length
// field are no entry bytes).

#include "ts/psip/psiptables.h"

#include <cstring>

namespace {

// OpenSection, after checking the table_id (one of two).
SectionReader OpenTable(const unsigned char* section, int available, int id, int otherId, int minLength,
                        int maxLength, TableFault* fault) {
  SectionReader head(section, available);
  int tableId = head.U8();
  if (head.Ok() && tableId != id && tableId != otherId) {
    *fault = TableFault();
    fault->kind = TableFault::eTableId;
    fault->value = tableId;
    return SectionReader::Refused();
  }
  return OpenSection(section, available, minLength, maxLength, fault);
}

// The fixed part of one VCT channel (32 bytes).
void DecodeVctChannel(SectionReader& entry, VctChannel* c) {
  memcpy(c->shortName, entry.Bytes(14), 14);
  c->shortName[14] = 0;
  c->shortName[15] = 0;
  c->majorByte = entry.U8();
  uint8_t b15 = entry.U8();
  uint8_t b16 = entry.U8();
  c->major = static_cast<uint16_t>((c->majorByte & 0x0F) * 64 + (b15 >> 2));
  c->minor = static_cast<uint16_t>((b15 & 0x03) * 256 + b16);
  c->modulation = entry.U8();
  c->carrier = entry.U32();
  c->channelTsid = entry.U16();
  c->programNumber = entry.U16();
  c->serviceByte = entry.U8();
  entry.Skip(1);  // service_type
  c->sourceId = entry.U16();
  c->descriptorsByte = entry.Peek(0);
  c->descriptors.length = static_cast<uint16_t>(entry.U16() & 0x03FF);
  c->descriptors.data = nullptr;
}

}  // namespace

bool DecodeVct(const unsigned char* section, int available, VctSection* out) {
  out->count = 0;
  out->announced = 0;
  out->tableId = SectionReader(section, available).U8();
  SectionReader whole = OpenTable(section, available, 0xC8, 0xC9, VctSection::kMinSectionLength,
                                  kMaxShortSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  whole.Skip(1);
  out->headerByte1 = whole.Peek(0);
  out->headerByte5 = whole.Peek(4);
  whole.Skip(2);
  out->transportId = whole.U16();
  whole.Skip(4);  // version, section numbers, protocol_version
  out->announced = whole.U8();
  // The channels lie between the 10-byte header and the additional
  // descriptors' length field in front of the CRC.
  SectionReader channels = whole.Sub(whole.Remaining() - 2 - kSectionCrcBytes);
  for (int i = 0; i < out->announced; ++i) {
    if (!channels.Has(VctSection::kEntryBytes) || out->count >= VctSection::kMaxChannels) {
      out->fault.Set(TableFault::eEntryCut, i + 1, out->announced, channels.Remaining());
      return false;
    }
    VctChannel* c = &out->channels[out->count];
    c->offset = 10 + channels.Pos();
    SectionReader entry = channels.Sub(VctSection::kEntryBytes);
    DecodeVctChannel(entry, c);
    SectionReader descriptors = channels.Sub(c->descriptors.length);
    if (!channels.Ok()) {
      out->fault.Set(TableFault::eDescriptorsCut, i + 1, c->descriptors.length, descriptors.Length());
      return false;
    }
    c->descriptors.data = descriptors.Ptr();
    ++out->count;
  }
  return true;
}

bool DecodeMgt(const unsigned char* section, int available, MgtSection* out) {
  out->count = 0;
  out->announced = 0;
  SectionReader whole = OpenTable(section, available, 0xC7, 0xC7, MgtSection::kMinSectionLength,
                                  kMaxLongSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  out->headerByte1 = whole.Peek(1);
  whole.Skip(9);
  out->announced = whole.U16();
  // The entries lie between the header and the MGT's own descriptors'
  // length field in front of the CRC.
  SectionReader entries = whole.Sub(whole.Remaining() - 2 - kSectionCrcBytes);
  for (int i = 0; i < out->announced; ++i) {
    if (!entries.Has(MgtSection::kEntryBytes) || out->count >= MgtSection::kMaxEntries) {
      out->fault.Set(TableFault::eEntryCut, i + 1, out->announced, entries.Remaining());
      return false;
    }
    MgtEntry* e = &out->entries[out->count];
    e->tableType = entries.U16();
    e->pidByte = entries.Peek(0);
    e->pid = entries.PID13();
    e->versionByte = entries.U8();
    entries.Skip(4);  // number_bytes: not used
    e->descriptorsByte = entries.Peek(0);
    e->descriptors.length = entries.Len12();
    SectionReader descriptors = entries.Sub(e->descriptors.length);
    if (!entries.Ok()) {
      out->fault.Set(TableFault::eDescriptorsCut, i + 1, e->descriptors.length, descriptors.Length());
      return false;
    }
    e->descriptors.data = descriptors.Ptr();
    ++out->count;
  }
  return true;
}

bool DecodeEit(const unsigned char* section, int available, EitSection* out) {
  out->count = 0;
  out->announced = 0;
  SectionReader whole = OpenTable(section, available, 0xCB, 0xCB, EitSection::kMinSectionLength,
                                  kMaxLongSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  if ((whole.Peek(1) & 0xF0) != 0xF0) {
    out->fault.Set(TableFault::eReserved, 0, whole.Peek(1), 0);
    return false;
  }
  whole.Skip(3);
  out->sourceId = whole.U16();
  whole.Skip(4);  // version, section numbers, protocol_version
  out->announced = whole.U8();
  SectionReader events = whole.Sub(whole.Remaining() - kSectionCrcBytes);
  for (int i = 0; i < out->announced; ++i) {
    if (!events.Has(EitSection::kEventBytes)) {
      out->fault.Set(TableFault::eEntryCut, i + 1, out->announced, events.Remaining());
      return false;
    }
    EitEvent* e = &out->events[out->count];
    e->eventId = static_cast<uint16_t>(events.U16() & 0x3FFF);
    e->startTime = events.U32();
    e->lengthInSeconds = events.U24() & 0x0FFFFF;
    e->titleLength = events.U8();
    // The title and the two descriptors_length bytes after it.
    if (!events.Has(e->titleLength + 2)) {
      out->fault.Set(TableFault::eTextCut, i + 1, e->titleLength, events.Remaining());
      return false;
    }
    e->title = events.Bytes(e->titleLength);
    uint8_t flags = events.Peek(0);
    if ((flags & 0xF0) != 0xF0) {
      out->fault.Set(TableFault::eReserved, i + 1, flags, events.Remaining());
      return false;
    }
    int descriptorsLength = events.Len12();
    if (!events.Skip(descriptorsLength)) {
      out->fault.Set(TableFault::eDescriptorsCut, i + 1, descriptorsLength, 0);
      return false;
    }
    ++out->count;
  }
  return true;
}

bool DecodeEtt(const unsigned char* section, int available, EttText* out) {
  out->message = nullptr;
  out->messageLength = 0;
  SectionReader whole = OpenTable(section, available, 0xCC, 0xCC, EttText::kMinSectionLength,
                                  kMaxLongSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  out->headerByte1 = whole.Peek(1);
  whole.Skip(9);
  out->etmId = whole.U32();
  SectionReader message = whole.Sub(whole.Remaining() - kSectionCrcBytes);
  out->message = message.Ptr();
  out->messageLength = message.Length();
  return true;
}

bool DecodeStt(const unsigned char* section, int available, SttTime* out) {
  SectionReader whole = OpenTable(section, available, 0xCD, 0xCD, SttTime::kMinSectionLength,
                                  kMaxShortSectionLength, &out->fault);
  if (!whole.Ok()) return false;
  whole.Skip(9);
  out->systemTime = whole.U32();
  out->gpsUtcOffset = whole.U8();
  out->daylight = whole.U16();
  return whole.Ok();
}
