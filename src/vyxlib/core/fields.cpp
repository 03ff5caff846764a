// The one reader of command fields: numbers as the protocol reads them, and a
// bounded split at one separator.

#include "core/fields.h"

#include <climits>
#include <cstring>

#include "utils.h"

namespace fields {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Blanks and sign skipped as atoi skips them; returns the first digit's
// position and the sign.
const char* SkipToDigits(const char* text, bool* negative) {
  *negative = false;
  while (IsBlank(*text)) ++text;
  if (*text == '+' || *text == '-') {
    *negative = *text == '-';
    ++text;
  }
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int Decimal(const char* text) {
  if (text == nullptr) return 0;
  bool negative = false;
  const char* p = SkipToDigits(text, &negative);
  // Accumulated as a negative number: INT_MIN has no positive twin.
  long long value = 0;
  for (; IsDigit(*p); ++p) {
    value = value * 10 - (*p - '0');
    if (value < static_cast<long long>(INT_MIN)) {
      value = static_cast<long long>(INT_MIN) - 1;  // saturated; digits may go on
    }
  }
  if (negative) return value < INT_MIN ? INT_MIN : static_cast<int>(value);
  if (value < -static_cast<long long>(INT_MAX)) return INT_MAX;
  return static_cast<int>(-value);
}

bool Overflows(const char* text) {
  if (text == nullptr) return false;
  int v = Decimal(text);
  if (v != INT_MAX && v != INT_MIN) return false;
  // The limits themselves fit: compare the digits with them.
  bool negative = false;
  const char* p = SkipToDigits(text, &negative);
  while (*p == '0' && IsDigit(p[1])) ++p;
  size_t n = 0;
  while (IsDigit(p[n])) ++n;
  const char* limit = negative ? "2147483648" : "2147483647";
  return n > 10 || (n == 10 && strncmp(p, limit, 10) > 0);
}

bool IsWholeDecimal(const char* text) {
  if (text == nullptr) return false;
  bool negative = false;
  const char* p = SkipToDigits(text, &negative);
  if (!IsDigit(*p)) return false;
  while (IsDigit(*p)) ++p;
  while (IsBlank(*p)) ++p;
  return *p == '\0';
}

unsigned int Hex(const char* text) { return hatoi(text); }

int Clamped(const char* text, int lo, int hi) {
  int v = Decimal(text);
  return v < lo ? lo : (v > hi ? hi : v);
}

bool InRange(const char* text, int lo, int hi, int* out) {
  int v = Decimal(text);
  if (v < lo || v > hi) return false;
  if (out != nullptr) *out = v;
  return true;
}

bool DottedQuad(const char* text) { return is_valid_ip(text); }

Split::Split(const char* text, char separator, int len) : mCount(0) {
  mBuffer[0] = '\0';
  if (text == nullptr) return;
  size_t limit = len < 0 ? kBufferSize - 1 : static_cast<size_t>(len);
  if (limit > kBufferSize - 1) limit = kBufferSize - 1;
  size_t n = strnlen(text, limit);
  memcpy(mBuffer, text, n);
  mBuffer[n] = '\0';
  if (n == 0) return;
  char* p = mBuffer;
  while (mCount < kMaxFields) {
    mStart[mCount] = static_cast<int>(p - mBuffer);
    mField[mCount++] = p;
    char* sep = separator != '\0' ? strchr(p, separator) : nullptr;
    if (sep == nullptr) break;
    *sep = '\0';
    p = sep + 1;
  }
}

const char* Split::At(int i) const { return i >= 0 && i < mCount ? mField[i] : nullptr; }

const char* Split::Trimmed(int i) {
  if (i < 0 || i >= mCount) return nullptr;
  char* f = mField[i];
  while (IsBlank(*f)) ++f;
  size_t n = strlen(f);
  while (n > 0 && IsBlank(f[n - 1])) f[--n] = '\0';
  mField[i] = f;
  return n > 0 ? f : nullptr;
}

unsigned int Split::HexAt(int i, unsigned int otherwise) const {
  const char* f = At(i);
  return f != nullptr ? Hex(f) : otherwise;
}

int Split::Offset(int i) const {
  return i >= 0 && i < mCount ? mStart[i] : -1;
}

}  // namespace fields
