// The ATSC Huffman decoder: any table index, any output capacity, any bits.
// The output buffer is exactly `capacity` bytes, so a write past it is caught.
// Input: table index byte, capacity byte, then the compressed bytes.

#include <cstdint>
#include <cstring>
#include <memory>

#include "ts/psip/atsc_huffman.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned table = data[0] % 4;  // 1 and 2 are the trees; 0 and 3 must give ""
  unsigned capacity = data[1];
  std::unique_ptr<unsigned char[]> in(new unsigned char[size - 2 + 1]);
  memcpy(in.get(), data + 2, size - 2);
  std::unique_ptr<char[]> out(new char[capacity == 0 ? 1 : capacity]);
  unsigned int outSize = 12345;
  char* text = atsc_huffman1_to_string(in.get(), out.get(), static_cast<unsigned>(size - 2),
                                       &outSize, table, capacity);
  if (capacity > 0) {
    // The size it reports fits and ends at the terminator (an escaped zero
    // byte may stand before it).
    if (text != out.get() || outSize == 0 || outSize > capacity || text[outSize - 1] != 0)
      __builtin_trap();
  }
  return 0;
}
