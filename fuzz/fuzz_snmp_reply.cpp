// The cutter of SNMP agent replies: any text, in a buffer of exactly its size
// plus the terminator.  The value it returns must lie inside that text.

#include <cstdint>
#include <cstring>
#include <memory>

#include "snmplocal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  memcpy(text.get(), data, size);
  text[size] = 0;
  size_t length = strlen(text.get());
  char* value = snmp_cut_value(text.get());
  if (value != nullptr) {
    if (value < text.get() || value > text.get() + length) __builtin_trap();
    if (strlen(value) > length) __builtin_trap();
  }
  return 0;
}
