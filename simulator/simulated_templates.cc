#include "simulator/simulated_templates.h"

#include <cstring>

namespace simulator {
namespace {

constexpr std::size_t HEADER_SIZE = 12;

std::uint32_t mix(std::uint32_t value) {
  value ^= value >> 16;
  value *= 0x7feb352dU;
  value ^= value >> 15;
  value *= 0x846ca68bU;
  value ^= value >> 16;
  return value;
}

void putLittleEndian(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLittleEndian(const std::uint8_t* in) {
  return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
         std::uint32_t{in[3]} << 24;
}

} // namespace

std::uint32_t capturedTemplateLength(std::uint32_t finger) { return 256 + mix(finger + 1) % 1536; }

std::uint32_t mergedTemplateLength(std::uint32_t finger) {
  return capturedTemplateLength(finger) + 128;
}

void writeTemplate(std::uint8_t kind, std::uint32_t finger, std::uint32_t pressNumber,
                   std::uint8_t* out, std::uint32_t length) {
  if (length < HEADER_SIZE)
    return;
  out[0] = 'S';
  out[1] = 'F';
  out[2] = kind;
  out[3] = 0;
  putLittleEndian(out + 4, finger);
  putLittleEndian(out + 8, pressNumber);
  std::uint32_t state = mix(finger ^ 0x9e3779b9U) | 1;
  for (std::uint32_t i = HEADER_SIZE; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<std::uint8_t>(state);
  }
  // A press differs from the other presses of its finger in a handful of bytes.
  const std::uint32_t bodyLength = length - HEADER_SIZE;
  for (std::uint32_t k = 0; k < 4; ++k) {
    const std::uint32_t noise = mix(pressNumber * 4 + k + 1);
    out[HEADER_SIZE + noise % bodyLength] ^= static_cast<std::uint8_t>(noise >> 24 | 1);
  }
}

std::optional<TemplateIdentity> identifyTemplate(const std::uint8_t* templ, std::uint32_t length) {
  if (templ == nullptr || length < HEADER_SIZE || templ[0] != 'S' || templ[1] != 'F' ||
      (templ[2] != CAPTURED_TEMPLATE && templ[2] != MERGED_TEMPLATE))
    return std::nullopt;
  return TemplateIdentity{templ[2], getLittleEndian(templ + 4)};
}

std::string encodeBase64(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((length + 2) / 3 * 4);
  for (std::size_t i = 0; i < length; i += 3) {
    const std::uint32_t group = std::uint32_t{bytes[i]} << 16 |
                                (i + 1 < length ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                                (i + 2 < length ? std::uint32_t{bytes[i + 2]} : 0);
    text.push_back(ALPHABET[group >> 18 & 63]);
    text.push_back(ALPHABET[group >> 12 & 63]);
    text.push_back(i + 1 < length ? ALPHABET[group >> 6 & 63] : '=');
    text.push_back(i + 2 < length ? ALPHABET[group & 63] : '=');
  }
  return text;
}

} // namespace simulator
