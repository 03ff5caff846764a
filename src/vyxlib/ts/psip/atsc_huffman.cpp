// ATSC Huffman decoding: one tree per preceding character, bits read most
// significant first, escape (27) followed by one raw 8-bit character.

#include "ts/psip/atsc_huffman.h"

namespace {

struct Tree {
  const unsigned char* bytes;
  unsigned int size;
};

bool tree_for(unsigned int table_index, Tree* t) {
  if (table_index == 1) {
    *t = {atsc_huffman_title_tree, sizeof(atsc_huffman_title_tree)};
    return true;
  }
  if (table_index == 2) {
    *t = {atsc_huffman_description_tree, sizeof(atsc_huffman_description_tree)};
    return true;
  }
  return false;
}

const int kEscape = 27;

}  // namespace

char* atsc_huffman1_to_string(const unsigned char* compressed, char* retval, unsigned int size,
                              unsigned int* out_size, unsigned int table_index,
                              unsigned int capacity) {
  unsigned int written = 0;
  if (retval == nullptr || capacity == 0) {
    if (out_size != nullptr) *out_size = 0;
    return retval;
  }
  Tree t;
  if (compressed != nullptr && tree_for(table_index, &t)) {
    const unsigned long totalBits = static_cast<unsigned long>(size) * 8u;
    unsigned long bit = 0;
    unsigned int context = 0;
    auto next_bit = [&]() -> int {
      int b = (compressed[bit / 8] >> (7 - bit % 8)) & 1;
      ++bit;
      return b;
    };
    bool done = false;
    while (!done && bit < totalBits && written + 1 < capacity) {
      unsigned int offset = (static_cast<unsigned int>(t.bytes[2 * context]) << 8) | t.bytes[2 * context + 1];
      unsigned int node = 0;
      int character = -1;
      while (bit < totalBits) {
        unsigned int at = offset + 2 * node + static_cast<unsigned int>(next_bit());
        if (at >= t.size) {  // cannot happen with these trees; never read past them
          done = true;
          break;
        }
        unsigned char v = t.bytes[at];
        if (v & 0x80) {
          character = v & 0x7F;
          break;
        }
        node = v;
      }
      if (character < 0 || character == 0) break;
      if (character == kEscape) {
        if (bit + 8 > totalBits) break;
        int raw = 0;
        for (int i = 0; i < 8; ++i) raw = (raw << 1) | next_bit();
        if (raw >= 128) break;  // no tree to continue with
        if (raw == 0) {
          // An escaped NUL would cut the text short wherever it is read as
          // a C string: it is dropped, and the next character is coded in
          // its tree, as the encoder did.
          context = 0;
          continue;
        }
        character = raw;
      }
      retval[written++] = static_cast<char>(character);
      context = static_cast<unsigned int>(character);
    }
  }
  retval[written] = 0;
  if (out_size != nullptr) *out_size = written + 1;
  return retval;
}
