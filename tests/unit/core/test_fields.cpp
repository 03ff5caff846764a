// The reader of command fields: numbers as atoi and hatoi read them, bounded
// splitting.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/fields.h"

namespace {

TEST(FieldsDecimal, ReadsAsAtoiDoes) {
  EXPECT_EQ(fields::Decimal("42"), 42);
  EXPECT_EQ(fields::Decimal("  \t-17"), -17);
  EXPECT_EQ(fields::Decimal("+8"), 8);
  EXPECT_EQ(fields::Decimal("5x"), 5);      // stops at the first non-digit
  EXPECT_EQ(fields::Decimal("13,4"), 13);
  EXPECT_EQ(fields::Decimal("x"), 0);       // no digit
  EXPECT_EQ(fields::Decimal(""), 0);
  EXPECT_EQ(fields::Decimal("- 3"), 0);     // blank after the sign
  EXPECT_EQ(fields::Decimal("0x1F"), 0);    // decimal only
  EXPECT_EQ(fields::Decimal(nullptr), 0);
  EXPECT_TRUE(fields::IsWholeDecimal(" 9600 \r\n"));
  EXPECT_FALSE(fields::IsWholeDecimal("96k"));
  EXPECT_FALSE(fields::IsWholeDecimal(""));
}

TEST(FieldsDecimal, SaturatesInsteadOfOverflowing) {
  EXPECT_EQ(fields::Decimal("2147483647"), INT_MAX);
  EXPECT_EQ(fields::Decimal("2147483648"), INT_MAX);
  EXPECT_EQ(fields::Decimal("-2147483648"), INT_MIN);
  EXPECT_EQ(fields::Decimal("-2147483649"), INT_MIN);
  EXPECT_EQ(fields::Decimal(std::string(300, '9').c_str()), INT_MAX);
  // 2^32 + 5 must not wrap to 5.
  EXPECT_EQ(fields::Decimal("4294967301"), INT_MAX);
  int v = 7;
  EXPECT_FALSE(fields::InRange("4294967301", 0, 100, &v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(fields::InRange("100abc", 0, 100, &v));
  EXPECT_EQ(v, 100);
  // Saturation is told apart from the limits themselves.
  EXPECT_FALSE(fields::Overflows("2147483647"));
  EXPECT_FALSE(fields::Overflows(" -2147483648x"));
  EXPECT_FALSE(fields::Overflows("000000000002147483647"));
  EXPECT_TRUE(fields::Overflows("2147483648"));
  EXPECT_TRUE(fields::Overflows("-2147483649"));
  EXPECT_TRUE(fields::Overflows("99999999999"));
  EXPECT_FALSE(fields::Overflows("x"));
  EXPECT_EQ(fields::Clamped("-9", 0, 255), 0);
  EXPECT_EQ(fields::Clamped("999", 0, 255), 255);
}

TEST(FieldsHex, ReadsAsHatoiDoes) {
  EXPECT_EQ(fields::Hex("1f\r\n"), 31u);
  EXPECT_EQ(fields::Hex("IT3"), 3u);  // letters past 'f' skipped
  EXPECT_EQ(fields::Hex("123456789"), 0x23456789u);
  EXPECT_TRUE(fields::DottedQuad("10.0.0.1x"));
  EXPECT_FALSE(fields::DottedQuad("10.0.0.256"));
}

TEST(FieldsSplit, FieldsMissingEmptyAndTrimmed) {
  fields::Split s(" a , ,c\r\n", ',');
  ASSERT_EQ(s.Count(), 3);
  EXPECT_STREQ(s.At(0), " a ");
  EXPECT_EQ(s.At(3), nullptr);
  EXPECT_EQ(s.Trimmed(1), nullptr);  // empty counts as missing
  EXPECT_STREQ(s.Trimmed(2), "c");
  EXPECT_STREQ(s.Trimmed(0), "a");
  EXPECT_EQ(s.Offset(2), 6);
  EXPECT_EQ(s.Offset(3), -1);

  fields::Split none("", ',');
  EXPECT_EQ(none.Count(), 0);
  fields::Split trailing("a,", ',');
  EXPECT_EQ(trailing.Count(), 2);
  EXPECT_STREQ(trailing.At(1), "");         // present but empty
  EXPECT_EQ(trailing.HexAt(1, 9), 0u);      // hatoi of ""
  EXPECT_EQ(trailing.HexAt(2, 9), 9u);      // missing: the default
  EXPECT_EQ(trailing.HexAt(5, 0xAB), 0xABu);
}

TEST(FieldsSplit, BoundedByLengthBufferAndFieldCount) {
  fields::Split cut("12,34,56", ',', 4);  // only "12,3" is the command
  ASSERT_EQ(cut.Count(), 2);
  EXPECT_STREQ(cut.At(1), "3");

  std::string huge(5000, ',');
  fields::Split many(huge.c_str(), ',');
  EXPECT_EQ(many.Count(), fields::Split::kMaxFields);
  EXPECT_EQ(many.At(fields::Split::kMaxFields), nullptr);

  std::string longField(5000, '7');
  fields::Split one(longField.c_str(), ',');
  ASSERT_EQ(one.Count(), 1);
  EXPECT_EQ(std::string(one.At(0)).size(), fields::Split::kBufferSize - 1);
}

}  // namespace
