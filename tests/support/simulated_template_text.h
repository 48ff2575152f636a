// The template text the service publishes for a simulated reader's template, for the test
// programs that link the simulated reader. Header-only; any thread may use it.
#pragma once

#include "simulator/simulated_templates.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The published text of the template of `kind` (simulator::CAPTURED_TEMPLATE or
// MERGED_TEMPLATE) for `finger` and the press number: its bytes padded with zeros to 2048,
// in base64.
inline std::string simulatedTemplateText(std::uint8_t kind, std::uint32_t finger,
                                         std::uint32_t pressNumber) {
  std::vector<std::uint8_t> blob(2048, 0);
  const std::uint32_t length = kind == simulator::MERGED_TEMPLATE
                                   ? simulator::mergedTemplateLength(finger)
                                   : simulator::capturedTemplateLength(finger);
  simulator::writeTemplate(kind, finger, pressNumber, blob.data(), length);
  return simulator::encodeBase64(blob.data(), blob.size());
}

} // namespace testing_support
