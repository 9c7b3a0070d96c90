#include "intConv.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace gw {
namespace {

TEST(IntConvTest, AcceptsDecimalWithinInt32) {
  const std::pair<const char*, int32_t> cases[] = {
      {"0", 0},           {"42", 42},
      {"+42", 42},        {"-42", -42},
      {"-0", 0},          {"007", 7},
      {"  42", 42},       {" -7", -7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"00000000000000000000042", 42},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(StrToInt(text), expected);
  }
}

TEST(IntConvTest, AcceptsHexAsTwosComplement) {
  const std::pair<const char*, int32_t> cases[] = {
      {"$5D09", 23817},      {"0x5D09", 23817},    {"0X5d09", 23817},
      {"x5D09", 23817},      {"X5d09", 23817},     {"  $10", 16},
      {"$0", 0},             {"$7FFFFFFF", INT32_MAX},
      {"$80000000", INT32_MIN},
      {"$FFFFFFFF", -1},     {"0xffffffff", -1},
      {"$000000001", 1},     {"0x00000000FFFFFFFF", -1},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(StrToInt(text), expected);
  }
}

TEST(IntConvTest, RejectsEverythingElse) {
  const char* const cases[] = {
      "",          " ",           "+",          "-",          "$",        "x",
      "0x",        "42 ",         "\t42",       "4 2",        "12a",      "1e3",
      "--1",       "+-1",         "- 1",        "-0x1",       "+$1",      "$-1",
      "0x 1",      "0x5G",        "$100000000", "2147483648", "-2147483649",
      "99999999999999999999999",  "0b1",        "x0x1",       "$$1",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    int32_t value = 0;
    EXPECT_FALSE(TryStrToInt(text, value));
    EXPECT_THROW(StrToInt(text), TConversionError);
  }
}

TEST(IntConvTest, ErrorQuotesTheWholeText) {
  try {
    StrToInt("  12 monkeys");
    FAIL() << "no error raised";
  } catch (const TConversionError& error) {
    EXPECT_STREQ(error.what(), "'  12 monkeys' is not a valid integer value");
  }
}

} // namespace
} // namespace gw
