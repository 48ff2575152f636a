#include "capture/json_text.h"

#include <charconv>

namespace capture {
namespace {

// The length of the well-formed UTF-8 character at the start of `text` (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0 when its bytes do not form one.
std::size_t utf8CharacterLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80)
    return 1;
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  // The second byte's range, narrower after the leads whose full range would allow overlong
  // forms (E0, F0), surrogates (ED) or code points above U+10FFFF (F4).
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80)
      return 0;
  return length;
}

} // namespace

void appendJsonStringContent(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  while (!text.empty()) {
    const char c = text[0];
    const auto byte = static_cast<unsigned char>(c);
    std::size_t used = 1;
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0xF]);
    } else if (byte < 0x80) {
      out.push_back(c);
    } else if (const std::size_t length = utf8CharacterLength(text); length != 0) {
      out.append(text.substr(0, length));
      used = length;
    } else {
      out += "\\ufffd";
    }
    text.remove_prefix(used);
  }
}

std::string_view withoutCutCharacter(std::string_view text) {
  // A character is at most four bytes: its lead byte is among the last three.
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80)
      continue; // a continuation byte: look further back
    const std::size_t expected = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    if (byte >= 0xC0 && expected > back)
      text.remove_suffix(back);
    break;
  }
  return text;
}

void appendDecimal(std::string& out, long long value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

} // namespace capture
