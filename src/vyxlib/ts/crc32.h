#ifndef VYX_CRC32_H
#define VYX_CRC32_H

// MPEG-2 CRC-32 of PSI sections: polynomial 0x04C11DB7, initial value
// 0xFFFFFFFF, most significant bit first, no reflection, no final inversion.
// A whole section including its CRC field checks to 0.

// Builds the 256-entry table.  Idempotent and thread-safe; crc32 calls it.
void crc32_init();
// len 0 gives 0xFFFFFFFF.
unsigned int crc32(unsigned char* s, unsigned int len);

#endif
