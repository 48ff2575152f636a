#include "capture/json_text.h"

#include <charconv>

namespace capture {

void appendJsonStringContent(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
}

void appendDecimal(std::string& out, long long value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

} // namespace capture
