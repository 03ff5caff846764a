#ifndef VYX_SECTIONREADER_H
#define VYX_SECTIONREADER_H

// A small bounds-checked cursor over table bytes.  Every length the analysers
// take from the stream (section_length, loop lengths, descriptor lengths,
// counts) is checked against the bytes that exist through it: a read past
// the end returns 0 and marks the reader bad instead of touching memory.

#include <cstdint>

class SectionReader {
 public:
  SectionReader(const unsigned char* data, int length)
      : mData(data), mLength(length > 0 && data != nullptr ? length : 0), mPos(0), mOk(true) {}

  int Length() const { return mLength; }
  int Pos() const { return mPos; }
  int Remaining() const { return mLength - mPos; }
  bool Ok() const { return mOk; }
  bool Has(int n) const { return n >= 0 && n <= Remaining(); }
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
  uint32_t U32() {
    if (!Has(4)) return Fail();
    uint32_t v = (static_cast<uint32_t>(mData[mPos]) << 24) | (static_cast<uint32_t>(mData[mPos + 1]) << 16) |
                 (static_cast<uint32_t>(mData[mPos + 2]) << 8) | mData[mPos + 3];
    mPos += 4;
    return v;
  }
  // Byte at offset i from the current position, 0 (and bad) when absent.
  uint8_t Peek(int i) const { return (i >= 0 && i < Remaining()) ? mData[mPos + i] : 0; }
  bool Skip(int n) {
    if (!Has(n)) {
      Fail();
      mPos = mLength;
      return false;
    }
    mPos += n;
    return true;
  }
  // A reader over the next n bytes, and this one moves past them.  When fewer
  // remain, both readers are marked bad and the sub-reader covers what exists.
  SectionReader Sub(int n) {
    if (!Has(n)) {
      SectionReader r(Ptr(), Remaining());
      r.mOk = false;
      Fail();
      mPos = mLength;
      return r;
    }
    SectionReader r(Ptr(), n);
    mPos += n;
    return r;
  }

 private:
  uint8_t Fail() {
    mOk = false;
    return 0;
  }
  const unsigned char* mData;
  int mLength;
  int mPos;
  bool mOk;
};

#endif
