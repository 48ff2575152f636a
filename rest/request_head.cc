#include "rest/request_head.h"

#include <algorithm>
#include <array>

namespace rest {
namespace {

// What the scan does at each byte value: most are text, passed (as a CR is) with one look-up
// and one comparison.
enum class ByteKind : std::uint8_t { Text, CarriageReturn, LineFeed, Control };
constexpr std::array<ByteKind, 256> byteKinds() {
  std::array<ByteKind, 256> kinds{};
  for (int byte = 0; byte < 0x20; ++byte)
    kinds[byte] = ByteKind::Control;
  kinds[0x7F] = ByteKind::Control;
  kinds['\r'] = ByteKind::CarriageReturn;
  kinds['\n'] = ByteKind::LineFeed;
  return kinds;
}
constexpr std::array<ByteKind, 256> BYTE_KINDS = byteKinds();

} // namespace

HeadScan RequestHeadScanner::scan(std::string_view received) {
  HeadScan scan;
  const std::size_t limit = std::min(received.size(), MAX_REQUEST_HEAD);
  scan.bareLineFeeds = bareLineFeeds_;
  for (std::size_t i = resumeAt_; i < limit; ++i) {
    const ByteKind kind = BYTE_KINDS[static_cast<unsigned char>(received[i])];
    if (kind <= ByteKind::CarriageReturn)
      continue;
    if (kind == ByteKind::Control) {
      scan.result = HeadScan::Rejected;
      return scan;
    }
    if (i == 0 || received[i - 1] != '\r')
      scan.bareLineFeeds = true;
    // The blank line: LF LF, or LF CR LF (which covers the usual CR LF CR LF).
    const bool blankLine = (i + 1 < limit && received[i + 1] == '\n') ||
                           (i + 2 < limit && received[i + 1] == '\r' && received[i + 2] == '\n');
    if (blankLine) {
      const bool twoLineFeeds = received[i + 1] == '\n';
      scan.bareLineFeeds = scan.bareLineFeeds || twoLineFeeds;
      scan.length = i + (twoLineFeeds ? 2 : 3);
      scan.result = HeadScan::Complete;
      return scan;
    }
  }
  scan.result = received.size() >= MAX_REQUEST_HEAD ? HeadScan::Rejected : HeadScan::Incomplete;
  // A line feed among the last two bytes may yet start the blank line, so those two are looked
  // at again; checking a byte twice gives the same answer both times.
  resumeAt_ = static_cast<std::uint32_t>(limit >= 2 ? limit - 2 : 0);
  bareLineFeeds_ = scan.bareLineFeeds;
  return scan;
}

HeadScan scanRequestHead(std::string_view received) {
  return RequestHeadScanner().scan(received);
}

std::string withCrLfLineEnds(std::string_view head) {
  std::string normalised;
  normalised.reserve(head.size() + 16);
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))
      normalised.push_back('\r');
    normalised.push_back(head[i]);
  }
  return normalised;
}

} // namespace rest
