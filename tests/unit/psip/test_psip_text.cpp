// ATSC strings: multiple string structures of plain and Huffman-coded
// segments, the test encoder checked against the published vectors and
// round trips of every character through both trees, and structures whose
// counts and lengths lie or whose text would pass the text buffer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/reportdue.h"
#include "filter_fixture.h"
#include "stdio_capture.h"

namespace {

using tsfix::Bytes;
using tsfix::MakeMss;
using tsfix::MultipleString;
using tsfix::StringSegment;

struct Decoded {
  std::string text;  // all `len` bytes, embedded terminators included
  int len = -1;
  unsigned char mode = 0xEE;
};

struct Fixture : vyxtest::FilterFixture {
  // Decodes from an exact-size copy: a read past it is an overrun.
  Decoded Mss(const Bytes& b, int available = -1) {
    std::vector<char> exact(b.begin(), b.end());
    Decoded d;
    char* t = f.MultipleStringStructure(exact.data(), &d.len, &d.mode,
                                        available >= 0 ? available : static_cast<int>(exact.size()));
    EXPECT_GE(d.len, 0);
    EXPECT_LE(d.len, TsFilter::kMaxPsipText);
    if (d.len >= 0 && d.len <= TsFilter::kMaxPsipText) {
      d.text.assign(t, static_cast<size_t>(d.len));
      // Terminated at the length, or just before it where a coded segment
      // counts the terminator.
      EXPECT_TRUE(t[d.len] == 0 || (d.len > 0 && t[d.len - 1] == 0)) << "text not terminated";
    }
    return d;
  }
};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

TEST(PsipText, StringsAndSegmentsAppendInOrder) {
  Fixture fx;
  // Two uncompressed strings of "ab" and "cd".
  Decoded d = fx.Mss(MakeMss({{"eng", {{0, 0, Text("ab")}}}, {"spa", {{0, 0, Text("cd")}}}}));
  EXPECT_EQ("abcd", d.text);
  EXPECT_EQ(4, d.len);
  EXPECT_EQ(0, d.mode);

  // One Huffman-coded title: its text and one more for its terminator.
  d = fx.Mss(tsfix::HuffmanMss("News", 1));
  EXPECT_EQ(std::string("News\0", 5), d.text);
  EXPECT_EQ(5, d.len);

  // Plain, title-coded and description-coded segments over two strings, in
  // order; the mode is the last segment's.
  d = fx.Mss(MakeMss({{"eng", {{0, 0x00, Text("A:")}, {1, 0x3F, tsfix::HuffmanEncode("Law & Order", 1)}}},
                      {"fre", {{2, 0x05, tsfix::HuffmanEncode("Then, drama.", 2)}, {0, 0x07, Text("!")}}}}));
  // Segments follow each other without terminators; the one at the end counts.
  EXPECT_EQ(std::string("A:Law & OrderThen, drama.!\0", 27), d.text);
  EXPECT_EQ(0x07, d.mode);

  // No strings, and strings without segments.
  d = fx.Mss(Bytes{0x00});
  EXPECT_EQ("", d.text);
  EXPECT_EQ(0, d.len);
  d = fx.Mss(MakeMss({{"eng", {}}, {"spa", {}}}));
  EXPECT_EQ(0, d.len);

  // A compression type without a tree is skipped; the others stay.
  d = fx.Mss(MakeMss({{"eng", {{0, 0, Text("x")}, {3, 0, Text("junk")}, {0xFF, 0, Text("more")}, {0, 0, Text("y")}}}}));
  EXPECT_EQ("xy", d.text);
}

TEST(PsipText, EncoderMakesThePublishedVectors) {
  std::vector<tsfix::HuffmanVector> vectors;
  ASSERT_TRUE(tsfix::ReadHuffmanVectors(&vectors));
  for (const tsfix::HuffmanVector& v : vectors) EXPECT_EQ(v.bits, tsfix::HuffmanEncode(v.text, v.table)) << v.line;
  EXPECT_EQ(31u, vectors.size());
}

TEST(PsipText, EveryCharacterRoundTripsThroughBothTrees) {
  Fixture fx;
  for (uint8_t table = 1; table <= 2; ++table) {
    SCOPED_TRACE(static_cast<int>(table));
    // Each character 1..127 after each of a few contexts, escape included:
    // characters a tree lacks go escaped.
    const std::string contexts[] = {"", "a", "Q", " ", "\x1b", "~", "9"};
    for (const std::string& ctx : contexts) {
      for (int c = 1; c < 128; ++c) {
        std::string s = ctx + static_cast<char>(c) + "z";
        Decoded d = fx.Mss(tsfix::HuffmanMss(s, table));
        ASSERT_EQ(s + '\0', d.text) << "character " << c << " after '" << ctx << "'";
      }
    }
    // Seeded strings of every character, each one after every other one.
    uint32_t seed = 7u + table;
    for (int round = 0; round < 300; ++round) {
      std::string s;
      int n = 1 + static_cast<int>((seed >> 8) % 60);
      for (int i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s += static_cast<char>(1 + (seed >> 16) % 127);
      }
      Decoded d = fx.Mss(tsfix::HuffmanMss(s, table));
      ASSERT_EQ(s + '\0', d.text) << "round " << round;
    }
  }
}

TEST(PsipText, EscapedHighCharacterEndsTheString) {
  Fixture fx;
  // "ab", an escaped 0xE9, "cd": the decoder has no tree after 0xE9.
  Decoded d = fx.Mss(tsfix::HuffmanMss("ab\xe9" "cd", 2));
  EXPECT_EQ(std::string("ab\0", 3), d.text);
  // Later segments still decode.
  d = fx.Mss(MakeMss({{"eng", {{1, 0, tsfix::HuffmanEncode("x\xff" "y", 1)}, {0, 0, Text("tail")}}}}));
  EXPECT_EQ(std::string("xtail\0", 6), d.text);
}

TEST(PsipText, ANulInsideATextIsDroppedAndTheWholeTextSurvives) {
  Fixture fx;
  // An escaped 0x00 in both trees: the text goes on after it, coded in the
  // tree that follows a NUL.
  for (uint8_t table = 1; table <= 2; ++table) {
    Decoded d = fx.Mss(tsfix::HuffmanMss(std::string("News\0at ten", 11), table));
    EXPECT_EQ(std::string("Newsat ten\0", 11), d.text) << static_cast<int>(table);
    EXPECT_EQ(11, d.len);
  }
  // Plain mode-0 bytes: the NULs go, also where they fill a segment or end it.
  Decoded d = fx.Mss(MakeMss({{"eng",
                               {{0, 0, Text(std::string("Late\0\0 show", 11))},
                                {0, 0, Text(std::string("\0\0", 2))},
                                {0, 0, Text(std::string("!\0", 2))}}}}));
  EXPECT_EQ("Late show!", d.text);
  EXPECT_EQ(10, d.len);
  // In the other modes a 0x00 is the low byte of a character: it stays.
  d = fx.Mss(MakeMss({{"eng", {{0, 0x3F, Text(std::string("\0A\0B", 4))}}}}));
  EXPECT_EQ(std::string("\0A\0B", 4), d.text);
}

TEST(PsipText, LyingLengthsStopAtTheBytesGiven) {
  Fixture fx;
  Bytes two = MakeMss({{"eng", {{0, 1, Text("first")}}}, {"spa", {{0, 2, Text("second")}}}});
  // Cut inside the second string's segment: the first string stays.
  Decoded d = fx.Mss(Bytes(two.begin(), two.end() - 2));
  EXPECT_EQ("first", d.text);
  EXPECT_EQ(1, d.mode);
  // Cut inside the second string's header, or its language code.
  d = fx.Mss(Bytes(two.begin(), two.begin() + 1 + 4 + 3 + 5 + 5));
  EXPECT_EQ("first", d.text);
  d = fx.Mss(Bytes(two.begin(), two.begin() + 1 + 4 + 3 + 5 + 2));
  EXPECT_EQ("first", d.text);
  // number_bytes past the end: the segment is not taken.
  d = fx.Mss(MakeMss({{"eng", {{0, 0, Text("ok")}, {0, 0, Text("abc"), 200}}}}));
  EXPECT_EQ("ok", d.text);
  d = fx.Mss(MakeMss({{"eng", {{1, 0, tsfix::HuffmanEncode("News", 1), 255}}}}));
  EXPECT_EQ("", d.text);
  // More strings and segments announced than there are.
  Bytes many = tsfix::PlainMss("solo");
  many[0] = 255;
  many[4] = 255;
  d = fx.Mss(many);
  EXPECT_EQ("solo", d.text);
  // Available bytes smaller than the structure, or none at all.
  d = fx.Mss(tsfix::PlainMss("abcdef"), 9);
  EXPECT_EQ("", d.text);
  d = fx.Mss(tsfix::PlainMss("abcdef"), 0);
  EXPECT_EQ(0, d.len);
  char* t = fx.f.MultipleStringStructure(nullptr, nullptr, nullptr, 50);
  EXPECT_STREQ("", t);
}

TEST(PsipText, TextNeverPassesTheBuffer) {
  Fixture fx;
  // A whole section of plain text fits; a byte more is cut, with a report,
  // and the length says so.
  auto plain = [](size_t n) {
    std::vector<MultipleString> s(1, MultipleString{"eng", {}});
    for (size_t at = 0; at < n; at += 255)
      s[0].segments.push_back({0, 0, Bytes(std::min<size_t>(255, n - at), static_cast<uint8_t>('a' + at / 255))});
    return MakeMss(s);
  };
  std::string whole;
  for (char c = 'a'; c <= 'p'; ++c) whole += std::string(255, c);
  whole += std::string(16, 'q');
  Decoded d;
  {
    vyxtest::StdioCapture err(stderr);
    d = fx.Mss(plain(4096));
    EXPECT_EQ(std::string::npos, err.Stop().find("Text too long"));
  }
  EXPECT_EQ(whole, d.text);
  {
    vyxtest::StdioCapture err(stderr);
    d = fx.Mss(plain(17 * 255));
    EXPECT_NE(std::string::npos, err.Stop().find("MultipleStringStructure: Text too long: 4335, max is 4096"));
  }
  EXPECT_EQ(whole, d.text);

  // Coded segments of the most compact text fill it to its end, the
  // counted terminator included, and no further, whatever follows.
  // (a '0' after a '0' takes two bits in both trees)
  Bytes coded = tsfix::HuffmanEncode(std::string(1000, '0'), 2);
  ASSERT_LE(coded.size(), 255u);
  std::vector<MultipleString> huff(3, MultipleString{"eng", {{2, 0, coded}, {2, 0, coded}, {0, 0, Text("end")}}});
  {
    // A cut repeated 512 times (a new stream's, reported afresh): one line,
    // as every repetition of its table brings the same text.
    report_limits_restart();
    vyxtest::StdioCapture err(stderr);
    for (int i = 0; i < 512; ++i) d = fx.Mss(MakeMss(huff));
    const std::string said = err.Stop();
    const size_t at = said.find("MultipleStringStructure: Text too long: ");
    EXPECT_NE(std::string::npos, at);
    EXPECT_EQ(std::string::npos, said.find("Text too long", at + 40));
  }
  EXPECT_EQ(TsFilter::kMaxPsipText, d.len);
  EXPECT_EQ(std::string(2000, '0') + "end" + std::string(2000, '0') + "end" + std::string(89, '0') + '\0',
            d.text);
  // Exactly as many characters as fit: whole, and nothing said.
  Bytes rest = tsfix::HuffmanEncode(std::string(95, '0'), 2);
  huff.assign(1, MultipleString{"eng", {{2, 0, coded}, {2, 0, coded}, {2, 0, coded}, {2, 0, coded}, {2, 0, rest}}});
  {
    vyxtest::StdioCapture err(stderr);
    d = fx.Mss(MakeMss(huff));
    EXPECT_EQ(std::string::npos, err.Stop().find("Text too long"));
  }
  EXPECT_EQ(std::string(4095, '0') + '\0', d.text);

  // Random segments of both trees: always bounded, always terminated.
  uint32_t seed = 99;
  for (int round = 0; round < 300; ++round) {
    std::vector<MultipleString> junk(1 + round % 3, MultipleString{"eng", {}});
    for (MultipleString& s : junk) {
      for (int g = 0; g < 1 + round % 5; ++g) {
        Bytes b(1 + (round * 37 + g) % 255);
        for (uint8_t& x : b) {
          seed = seed * 1103515245u + 12345u;
          x = static_cast<uint8_t>(seed >> 16);
        }
        s.segments.push_back({static_cast<uint8_t>(g % 3), 0, b});
      }
    }
    fx.Mss(MakeMss(junk));
  }
}

TEST(PsipText, DecodeHuffmanCountsTheTerminatorAndKeepsToItsOutput) {
  Fixture fx;
  Bytes coded = tsfix::HuffmanEncode("SpongeBob SquarePants", 1);
  char out[32];
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(22, fx.f.DecodeHuffman(reinterpret_cast<char*>(coded.data()), out,
                                   static_cast<int>(coded.size()), 1, sizeof(out)));
  EXPECT_STREQ("SpongeBob SquarePants", out);
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(7, fx.f.DecodeHuffman(reinterpret_cast<char*>(coded.data()), out,
                                  static_cast<int>(coded.size()), 1, 7));
  EXPECT_STREQ("Sponge", out);
  EXPECT_EQ('x', out[7]);
  EXPECT_EQ(0, fx.f.DecodeHuffman(reinterpret_cast<char*>(coded.data()), out, 5, 1, 0));
  EXPECT_EQ(1, fx.f.DecodeHuffman(nullptr, out, 5, 2, 8));
  EXPECT_STREQ("", out);
  EXPECT_EQ(1, fx.f.DecodeHuffman(reinterpret_cast<char*>(coded.data()), out, 5, 7, 8));
}
