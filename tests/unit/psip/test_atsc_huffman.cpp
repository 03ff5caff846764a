// Huffman-coded ATSC strings: the published vectors decode exactly, and the
// decoder stays inside its output and input however the bits lie.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ts/psip/atsc_huffman.h"
#include "tsfixture.h"

using tsfix::FromHex;

TEST(AtscHuffman, VectorsDecodeExactly) {
  std::vector<tsfix::HuffmanVector> vectors;
  ASSERT_TRUE(tsfix::ReadHuffmanVectors(&vectors));
  for (tsfix::HuffmanVector& v : vectors) {
    char out[1032];
    unsigned int outSize = 0;
    atsc_huffman1_to_string(v.bits.data(), out, static_cast<unsigned int>(v.bits.size()), &outSize,
                            static_cast<unsigned int>(v.table), sizeof(out));
    EXPECT_EQ(v.text, std::string(out)) << v.line;
    EXPECT_EQ(v.text.size() + 1, outSize) << v.line;
  }
  EXPECT_EQ(31u, vectors.size());
}

TEST(AtscHuffman, BoundedOutputUnknownTableAndRandomBits) {
  // "Q&A: What's Up, Doc?!" into 6 bytes: five characters and the terminator.
  std::vector<unsigned char> bits = FromHex("680988223a99c78764f71678610cfc43");
  char small[8];
  memset(small, 'x', sizeof(small));
  unsigned int outSize = 0;
  atsc_huffman1_to_string(bits.data(), small, static_cast<unsigned int>(bits.size()), &outSize, 1, 6);
  EXPECT_STREQ("Q&A: ", small);
  EXPECT_EQ(6u, outSize);
  EXPECT_EQ('x', small[6]);

  char out[64];
  atsc_huffman1_to_string(bits.data(), out, static_cast<unsigned int>(bits.size()), &outSize, 3, sizeof(out));
  EXPECT_STREQ("", out);
  EXPECT_EQ(1u, outSize);

  // Random bits of every table never pass the output and end terminated.
  unsigned int seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    unsigned char random[64];
    for (unsigned char& b : random) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<unsigned char>(seed >> 16);
    }
    char buf[40];
    memset(buf, 'x', sizeof(buf));
    atsc_huffman1_to_string(random, buf, sizeof(random), &outSize, 1 + round % 2, 32);
    ASSERT_LE(outSize, 32u);
    ASSERT_EQ(0, buf[outSize - 1]);
    ASSERT_EQ('x', buf[32]);
  }
}
