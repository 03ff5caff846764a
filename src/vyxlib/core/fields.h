#ifndef VYX_CORE_FIELDS_H
#define VYX_CORE_FIELDS_H

// The one reader of command fields.  Every handler splits and reads its text
// through these, so a command is read the same way whichever handler takes it.
//
// Numbers are read as the protocol's controllers expect: a decimal number as
// atoi reads it (leading blanks, a sign, digits up to the first non-digit; no
// digit reads as 0), a hexadecimal one as hatoi reads it (non-hex characters
// skipped).  Unlike atoi, a decimal beyond the range of int saturates at
// INT_MAX / INT_MIN instead of being undefined; a caller that checks a range
// then refuses it like any other out-of-range value.

#include <cstddef>

namespace fields {

// Decimal as atoi reads it, saturating at the limits of int.
int Decimal(const char* text);
// True when the digits Decimal reads go beyond the range of int (where a
// handler would otherwise take the saturated value, it refuses instead).
bool Overflows(const char* text);
// True when the text is a decimal number and nothing else (blanks around it
// allowed).
bool IsWholeDecimal(const char* text);
// Hexadecimal as hatoi reads it (the rightmost eight hex digits).
unsigned int Hex(const char* text);
// Decimal clamped into [lo, hi].
int Clamped(const char* text, int lo, int hi);
// Decimal in [lo, hi] into *out; false (and *out untouched) otherwise.
bool InRange(const char* text, int lo, int hi, int* out);
// A dotted quad (four numbers below 256; trailing text allowed, as the
// protocol's address check allows it).
bool DottedQuad(const char* text);

// Fields of a text split at one separator, copied into a bounded buffer so
// that the text itself is left as it was.  Longer texts are cut at the
// buffer; fields past kMaxFields are not seen.
class Split {
 public:
  // A stream text holds address, port, channel and 64 program pairs.
  static constexpr int kMaxFields = 136;
  static constexpr size_t kBufferSize = 2048;

  // `len` bytes of text at most (a zero byte ends it earlier); negative: the
  // whole text.
  Split(const char* text, char separator, int len = -1);

  // Number of fields (an empty text has none; "a," has two, the second empty).
  int Count() const { return mCount; }
  // Field i, or null when the text has fewer fields.
  const char* At(int i) const;
  // Field i without blanks and line ends around it; null when missing or
  // empty (an empty field counts as missing).
  const char* Trimmed(int i);
  // Field i as a hexadecimal number; `otherwise` when the field is missing.
  unsigned int HexAt(int i, unsigned int otherwise) const;
  // Where field i starts in the text given, or -1 when it is missing: the
  // rest of the text from there on, separators included, is the caller's.
  int Offset(int i) const;

 private:
  char mBuffer[kBufferSize];
  char* mField[kMaxFields];
  int mStart[kMaxFields];  // offsets as split (trimming moves mField)
  int mCount;
};

}  // namespace fields

#endif
