// Small helpers that build the replies' JSON text. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace capture {

// Appends `text` as the inside of a JSON string: quotes, backslashes and control characters
// are escaped, well-formed UTF-8 is copied as it is, and every byte that is not part of a
// well-formed UTF-8 character becomes U+FFFD (written "\ufffd"), so the reply stays valid JSON
// whatever bytes a reader reports.
void appendJsonStringContent(std::string& out, std::string_view text);

// `text` without a UTF-8 character left incomplete at its end, as a cut at a fixed byte count
// leaves it; anything else is returned whole.
std::string_view withoutCutCharacter(std::string_view text);

// Appends a signed decimal number.
void appendDecimal(std::string& out, long long value);

} // namespace capture
