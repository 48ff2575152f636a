// The template format of the simulated reader: deterministic per finger, with a few bytes that
// differ from press to press, and a length between 256 and 1791 bytes that depends on the
// finger. Pure functions; any thread.
//
// Layout: "SF", kind (1 capture, 2 merged), 0, finger (4 bytes LE), press number (4 bytes LE),
// then a body drawn from a generator seeded by the finger.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace simulator {

inline constexpr std::uint8_t CAPTURED_TEMPLATE = 1;
inline constexpr std::uint8_t MERGED_TEMPLATE = 2;

std::uint32_t capturedTemplateLength(std::uint32_t finger);
std::uint32_t mergedTemplateLength(std::uint32_t finger);

// Writes the template of one press (or of a merge) into `out`, which holds at least `length`
// bytes, `length` being one of the lengths above.
void writeTemplate(std::uint8_t kind, std::uint32_t finger, std::uint32_t pressNumber,
                   std::uint8_t* out, std::uint32_t length);

struct TemplateIdentity {
  std::uint8_t kind;
  std::uint32_t finger;
};
// The kind and finger of a template of this format, or nothing for any other bytes.
std::optional<TemplateIdentity> identifyTemplate(const std::uint8_t* templ, std::uint32_t length);

// Standard base64 with padding.
std::string encodeBase64(const std::uint8_t* bytes, std::size_t length);

} // namespace simulator
