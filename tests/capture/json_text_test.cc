#include "capture/json_text.h"

#include <gtest/gtest.h>

namespace capture {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  appendJsonStringContent(out, text);
  return out;
}

TEST(JsonText, OrdinaryTextIsUnchanged) {
  EXPECT_EQ(escaped("SIM-0000-0001"), "SIM-0000-0001");
  EXPECT_EQ(escaped("abc+/=XYZ09"), "abc+/=XYZ09");
  EXPECT_EQ(escaped("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(JsonText, QuotesBackslashesAndControlCharactersAreEscaped) {
  EXPECT_EQ(escaped("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(escaped(std::string("\n\t\x01\x1f", 4)), "\\u000a\\u0009\\u0001\\u001f");
  EXPECT_EQ(escaped(std::string_view("x\0y", 3)), "x\\u0000y");
}

TEST(JsonText, Decimals) {
  std::string out;
  appendDecimal(out, -4);
  appendDecimal(out, 0);
  appendDecimal(out, 2147483647);
  EXPECT_EQ(out, "-402147483647");
}

} // namespace
} // namespace capture
