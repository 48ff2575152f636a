// Small helpers that build the replies' JSON text. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace capture {

// Appends `text` as the inside of a JSON string: quotes, backslashes and control characters
// are escaped, every other byte is copied as it is.
void appendJsonStringContent(std::string& out, std::string_view text);

// Appends a signed decimal number.
void appendDecimal(std::string& out, long long value);

} // namespace capture
