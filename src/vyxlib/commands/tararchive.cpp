// The upgrade archive's check: the file is walked header by header, each
// header's checksum verified and its member's data blocks skipped, until the
// end-of-archive marker.  The data itself is not read.

#include "commands/tararchive.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kChecksumAt = 148;
constexpr size_t kChecksumLen = 8;
constexpr size_t kSizeAt = 124;
constexpr size_t kSizeLen = 12;
constexpr size_t kTypeAt = 156;

bool all_zero(const unsigned char* b) {
  for (size_t i = 0; i < kBlock; i++)
    if (b[i] != 0) return false;
  return true;
}

// An octal field: blanks before, digits, then a NUL or blank (or the field's
// end).  False for anything else, or a value past 2^63.
bool octal_field(const unsigned char* f, size_t len, uint64_t* value) {
  size_t i = 0;
  while (i < len && f[i] == ' ') i++;
  uint64_t v = 0;
  size_t digits = 0;
  for (; i < len && f[i] >= '0' && f[i] <= '7'; i++, digits++) {
    if (v >> 60) return false;
    v = v * 8 + static_cast<uint64_t>(f[i] - '0');
  }
  if (digits == 0) return false;
  for (; i < len; i++)
    if (f[i] != '\0' && f[i] != ' ') return false;
  *value = v;
  return true;
}

// The size field: octal, or the base-256 form (high bit of the first byte)
// that tars use for members of 8 GiB and more.
bool size_field(const unsigned char* f, uint64_t* value) {
  if ((f[0] & 0x80) == 0) return octal_field(f, kSizeLen, value);
  if ((f[0] & 0x40) != 0) return false;  // negative
  uint64_t v = f[0] & 0x3F;
  for (size_t i = 1; i < kSizeLen; i++) {
    if (v >> 55) return false;
    v = (v << 8) | f[i];
  }
  *value = v;
  return true;
}

// The checksum is the sum of the header's bytes with its own field read as
// blanks; old tars summed signed bytes, so either sum is taken.
bool checksum_ok(const unsigned char* h) {
  uint64_t stored = 0;
  if (!octal_field(h + kChecksumAt, kChecksumLen, &stored)) return false;
  long unsignedSum = 0;
  long signedSum = 0;
  for (size_t i = 0; i < kBlock; i++) {
    bool inField = i >= kChecksumAt && i < kChecksumAt + kChecksumLen;
    unsigned char c = inField ? ' ' : h[i];
    unsignedSum += c;
    signedSum += static_cast<signed char>(c);
  }
  return stored == static_cast<uint64_t>(unsignedSum) ||
         static_cast<long>(stored) == signedSum;
}

// Links, devices, directories and FIFOs have no data, whatever their size
// field says.
bool type_has_data(unsigned char type) {
  return !(type >= '1' && type <= '6');
}

// The walk over the open file of `fileSize` bytes: NULL when it is a
// complete tar, else the fault.
const char* walk(FILE* f, uint64_t fileSize, char* why, size_t whySize) {
  if (fileSize % kBlock != 0) return "size not a whole number of blocks";
  unsigned char h[kBlock];
  uint64_t at = 0;
  int members = 0;
  for (;;) {
    if (at + kBlock > fileSize) return "no end-of-archive blocks";
    if (fseek(f, static_cast<long>(at), SEEK_SET) != 0 || fread(h, 1, kBlock, f) != kBlock)
      return "read error";
    if (all_zero(h)) break;
    if (!checksum_ok(h)) {
      snprintf(why, whySize, "bad header checksum at byte %llu", static_cast<unsigned long long>(at));
      return why;
    }
    uint64_t size = 0;
    if (!size_field(h + kSizeAt, &size)) {
      snprintf(why, whySize, "bad size field at byte %llu", static_cast<unsigned long long>(at));
      return why;
    }
    uint64_t data = type_has_data(h[kTypeAt]) ? (size + kBlock - 1) / kBlock * kBlock : 0;
    if (data > fileSize - at - kBlock) {
      snprintf(why, whySize, "member at byte %llu runs past the end",
               static_cast<unsigned long long>(at));
      return why;
    }
    at += kBlock + data;
    members++;
  }
  if (members == 0) return "no member";
  // The first zero block is at `at`; a second must follow, and whatever
  // comes after it (padding to the record size) must be zero too.
  int zeroBlocks = 1;
  for (at += kBlock; at < fileSize; at += kBlock) {
    if (fread(h, 1, kBlock, f) != kBlock) return "read error";
    if (!all_zero(h)) return "data after the end-of-archive blocks";
    zeroBlocks++;
  }
  return zeroBlocks >= 2 ? nullptr : "only one end-of-archive block";
}

}  // namespace

bool tar_archive_complete(const char* path, char* why, size_t whySize) {
  char scratch[96];
  if (why == nullptr || whySize == 0) {
    why = scratch;
    whySize = sizeof(scratch);
  }
  why[0] = '\0';
  FILE* f = fopen(path, "rb");
  if (f == nullptr) {
    snprintf(why, whySize, "cannot open the archive");
    return false;
  }
  const char* fault = nullptr;
  long end = -1;
  if (fseek(f, 0, SEEK_END) == 0) end = ftell(f);
  if (end < 0)
    fault = "read error";
  else
    fault = walk(f, static_cast<uint64_t>(end), why, whySize);
  fclose(f);
  if (fault == nullptr) return true;
  if (fault != why) snprintf(why, whySize, "%s", fault);
  return false;
}
