// MPEG-2 CRC-32, table driven.

#include "ts/crc32.h"

#include <pthread.h>

namespace {

unsigned int crc_table[256];
pthread_once_t crc_once = PTHREAD_ONCE_INIT;

void crc32_build_table() {
  for (unsigned int i = 0; i < 256; ++i) {
    unsigned int c = i << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    crc_table[i] = c;
  }
}

// Build the table while the library loads, so the first packet never pays
// for it; crc32_init stays as the explicit (and idempotent) way in.
struct CrcTableAtLoad {
  CrcTableAtLoad() { crc32_init(); }
} crc_table_at_load;

}  // namespace

void crc32_init() { pthread_once(&crc_once, crc32_build_table); }

unsigned int crc32(unsigned char* s, unsigned int len) {
  crc32_init();
  unsigned int crc = 0xFFFFFFFFu;
  for (unsigned int i = 0; i < len; ++i) crc = (crc << 8) ^ crc_table[((crc >> 24) ^ s[i]) & 0xFF];
  return crc;
}
