#ifndef VYX_SECTIONREADER_H
#define VYX_SECTIONREADER_H

// Bounded cursors over table bytes: SectionReader reads, SectionWriter writes.
//
// Every length a table carries (section_length, loop lengths, descriptor
// lengths, counts) is taken through the cursor, which checks it against the
// bytes that exist: a read past the end returns 0, moves to the end and marks
// the cursor bad (Ok() false) instead of touching memory.  A table is read
// like this:
//
//   SectionReader s(section, available);
//   int tableId = s.U8();
//   int sectionLength = s.Len12();           // section_length: 12 bits
//   SectionReader body = s.Sub(sectionLength);  // everything it covers
//   int programNumber = body.U16();
//   body.Skip(5);                            // version, section numbers, PCR PID
//   SectionReader info = body.Sub(body.Len12());  // program_info loop
//   SectionReader es = body.Sub(body.Remaining() - 4);  // up to the CRC
//   if (!s.Ok() || !body.Ok()) return false; // header cut: drop the table
//   while (es.Remaining() > 0) {
//     int type = es.U8();
//     int pid = es.PID13();
//     SectionReader descriptors = es.Sub(es.Len12());
//     if (!es.Ok()) break;                   // entry cut: keep the whole ones
//     ...
//   }
//
// Header fields are read once, loops go through sub-cursors, and Ok() is
// checked before anything read is trusted.  The CRC and the length against
// the table's limit are checked once, before the fields (the collector does
// both for the transmitter).

#include <cstdint>
#include <cstring>

#include "ts/crc32.h"

// Section limits.  A PSI section (PAT, PMT, and the PSIP tables carried like
// them: VCT, STT) is at most 1024 bytes, section_length 1021; a private
// section (MGT, EIT, ETT) 4096 bytes, section_length 4093.
constexpr int kMaxShortSectionLength = 1021;
constexpr int kMaxShortSection = kMaxShortSectionLength + 3;
constexpr int kMaxLongSectionLength = 4093;
constexpr int kMaxLongSection = kMaxLongSectionLength + 3;
constexpr int kSectionCrcBytes = 4;

class SectionReader {
 public:
  SectionReader(const unsigned char* data, int length)
      : mData(data), mLength(length > 0 && data != nullptr ? length : 0), mPos(0), mOk(true) {}

  // An empty cursor already bad: a table refused before its first field.
  static SectionReader Refused() {
    SectionReader r(nullptr, 0);
    r.mOk = false;
    return r;
  }

  int Length() const { return mLength; }
  int Pos() const { return mPos; }
  int Remaining() const { return mLength - mPos; }
  bool Ok() const { return mOk; }
  bool Has(int n) const { return n >= 0 && n <= Remaining(); }
  // The bytes from the current position (Remaining() of them); read only.
  const unsigned char* Ptr() const { return mData + mPos; }

  uint8_t U8() {
    if (!Has(1)) return Fail();
    return mData[mPos++];
  }
  uint16_t U16() {
    if (!Has(2)) return Fail();
    uint16_t v = static_cast<uint16_t>((mData[mPos] << 8) | mData[mPos + 1]);
    mPos += 2;
    return v;
  }
  uint32_t U24() {
    if (!Has(3)) return Fail();
    uint32_t v = (static_cast<uint32_t>(mData[mPos]) << 16) | (static_cast<uint32_t>(mData[mPos + 1]) << 8) |
                 mData[mPos + 2];
    mPos += 3;
    return v;
  }
  uint32_t U32() {
    if (!Has(4)) return Fail();
    uint32_t v = (static_cast<uint32_t>(mData[mPos]) << 24) | (static_cast<uint32_t>(mData[mPos + 1]) << 16) |
                 (static_cast<uint32_t>(mData[mPos + 2]) << 8) | mData[mPos + 3];
    mPos += 4;
    return v;
  }
  // Two bytes whose low 13 bits are a PID (3 reserved bits above).
  uint16_t PID13() { return static_cast<uint16_t>(U16() & 0x1FFF); }
  // Two bytes whose low 12 bits are a length (4 flag/reserved bits above).
  uint16_t Len12() { return static_cast<uint16_t>(U16() & 0x0FFF); }

  // n bytes (a language code, a string), or null and bad when fewer remain.
  const unsigned char* Bytes(int n) {
    if (!Has(n)) {
      Fail();
      return nullptr;
    }
    const unsigned char* p = mData + mPos;
    mPos += n;
    return p;
  }
  // Byte at offset i from the current position, without moving; 0 and bad
  // when absent.
  uint8_t Peek(int i) {
    if (i < 0 || i >= Remaining()) return Fail();
    return mData[mPos + i];
  }
  bool Skip(int n) {
    if (!Has(n)) {
      Fail();
      return false;
    }
    mPos += n;
    return true;
  }
  // A cursor over the next n bytes (a loop, a descriptor), and this one moves
  // past them.  When fewer remain, both are marked bad and the sub-cursor
  // covers what exists (so a caller may still use the whole entries in it).
  SectionReader Sub(int n) {
    if (!Has(n)) {
      SectionReader r(Ptr(), Remaining());
      r.mOk = false;
      Fail();
      return r;
    }
    SectionReader r(Ptr(), n);
    mPos += n;
    return r;
  }

 private:
  uint8_t Fail() {
    mOk = false;
    mPos = mLength;
    return 0;
  }
  const unsigned char* mData;
  int mLength;
  int mPos;
  bool mOk;
};

// The writing counterpart, for tables the device builds (the regenerated
// PAT) and the packets that carry them.  A write past the capacity writes
// nothing more and marks the writer bad.
class SectionWriter {
 public:
  SectionWriter(unsigned char* data, int capacity)
      : mData(data), mCapacity(capacity > 0 && data != nullptr ? capacity : 0), mPos(0), mOk(true) {}

  int Pos() const { return mPos; }
  int Remaining() const { return mCapacity - mPos; }
  bool Ok() const { return mOk; }

  bool U8(unsigned v) {
    if (!Room(1)) return false;
    mData[mPos++] = static_cast<unsigned char>(v);
    return true;
  }
  bool U16(unsigned v) {
    if (!Room(2)) return false;
    mData[mPos] = static_cast<unsigned char>(v >> 8);
    mData[mPos + 1] = static_cast<unsigned char>(v);
    mPos += 2;
    return true;
  }
  bool U32(uint32_t v) {
    if (!Room(4)) return false;
    mData[mPos] = static_cast<unsigned char>(v >> 24);
    mData[mPos + 1] = static_cast<unsigned char>(v >> 16);
    mData[mPos + 2] = static_cast<unsigned char>(v >> 8);
    mData[mPos + 3] = static_cast<unsigned char>(v);
    mPos += 4;
    return true;
  }
  bool Bytes(const unsigned char* src, int n) {
    if (src == nullptr || !Room(n)) return false;
    if (n > 0) memmove(mData + mPos, src, static_cast<size_t>(n));
    mPos += n;
    return true;
  }
  bool Fill(unsigned char v, int n) {
    if (!Room(n)) return false;
    if (n > 0) memset(mData + mPos, v, static_cast<size_t>(n));
    mPos += n;
    return true;
  }
  // Appends the CRC-32 of everything written so far: the section's end.
  bool Crc32() { return mOk && U32(crc32(mData, static_cast<unsigned int>(mPos))); }

 private:
  bool Room(int n) {
    if (!mOk || n < 0 || n > Remaining()) {
      mOk = false;
      return false;
    }
    return true;
  }
  unsigned char* mData;
  int mCapacity;
  int mPos;
  bool mOk;
};

#endif
