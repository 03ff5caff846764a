// Huffman-coded ATSC strings: the published vectors decode exactly, and the
// decoder stays inside its output and input however the bits lie.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "atsc_huffman.h"

namespace {

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace

TEST(AtscHuffman, VectorsDecodeExactly) {
  std::ifstream in(std::string(VYX_DATA_DIR) + "/atsc_huffman_vectors.txt");
  ASSERT_TRUE(in.good());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t space = line.find(' ');
    size_t tab = line.find('\t');
    ASSERT_NE(std::string::npos, space);
    ASSERT_NE(std::string::npos, tab);
    unsigned int table = static_cast<unsigned int>(std::stoi(line.substr(0, space)));
    std::vector<unsigned char> bits = FromHex(line.substr(space + 1, tab - space - 1));
    std::string want = line.substr(tab + 1);
    char out[1032];
    unsigned int outSize = 0;
    atsc_huffman1_to_string(bits.data(), out, static_cast<unsigned int>(bits.size()), &outSize, table,
                            sizeof(out));
    EXPECT_EQ(want, std::string(out)) << line;
    EXPECT_EQ(want.size() + 1, outSize) << line;
    ++count;
  }
  EXPECT_EQ(31, count);
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
