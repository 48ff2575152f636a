// Reads the call counts out of the simulated reader's "calls" reply.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

// The count for `name` (e.g. "ZKFPM_Init" or "ZKFPM_GetParameters:2004") in a reply
// "ok NAME=COUNT ..."; 0 when it is not listed.
inline unsigned long callCount(std::string_view callsReply, std::string_view name) {
  const std::string key = " " + std::string(name) + "=";
  const std::size_t at = callsReply.find(key);
  if (at == std::string_view::npos)
    return 0;
  return std::stoul(std::string(callsReply.substr(at + key.size())));
}

} // namespace testing_support
