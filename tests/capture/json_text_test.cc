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

TEST(JsonText, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  EXPECT_EQ(escaped("a\xff"
                    "b"),
            "a\\ufffdb");
  EXPECT_EQ(escaped("\xc3("), "\\ufffd(");                     // a lead byte without its follower
  EXPECT_EQ(escaped("\xc0\xaf"), "\\ufffd\\ufffd");            // an overlong '/'
  EXPECT_EQ(escaped("\xed\xa0\x80"), "\\ufffd\\ufffd\\ufffd"); // a surrogate
  EXPECT_EQ(escaped("\xe0\x80\xaf"), "\\ufffd\\ufffd\\ufffd"); // overlong in three bytes
  EXPECT_EQ(escaped("\xf0\x80\x80\xaf"), "\\ufffd\\ufffd\\ufffd\\ufffd"); // and in four
  EXPECT_EQ(escaped("\xf4\x90\x80\x80"), "\\ufffd\\ufffd\\ufffd\\ufffd"); // above U+10FFFF
  EXPECT_EQ(escaped("\xf0\x9f\x98\x80!"), "\xf0\x9f\x98\x80!");           // four bytes, kept
  EXPECT_EQ(escaped("\xe2\x82"), "\\ufffd\\ufffd");                       // cut short at the end
}

TEST(JsonText, CharacterCutAtTheEndIsLeftOutAndNothingElse) {
  EXPECT_EQ(withoutCutCharacter("ab\xe2\x82"), "ab");
  EXPECT_EQ(withoutCutCharacter("ab\xf0\x9f\x98"), "ab");
  EXPECT_EQ(withoutCutCharacter("ab\xc3"), "ab");
  EXPECT_EQ(withoutCutCharacter("ab\xe2\x82\xac"), "ab\xe2\x82\xac"); // whole: kept
  EXPECT_EQ(withoutCutCharacter("abc"), "abc");
  EXPECT_EQ(withoutCutCharacter("ab\x80"), "ab\x80"); // stray byte: left to the escaping
  EXPECT_EQ(withoutCutCharacter(""), "");
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
