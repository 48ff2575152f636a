#include "rest/request_head.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace rest {
namespace {

// What the scan does at each byte value: text and CR are passed, a LF may end the head, any
// other control character rejects it.
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

// Of eight bytes, those below 0x20 or equal to 0x7F: the line ends and the control characters,
// the bytes that need the look-up. Most of a head is text, and a word of text is passed with a
// handful of operations instead of eight look-ups. (word - n in each byte) & ~word has a high
// bit set in the first byte below n, for n up to 0x80, and maybe in later ones, never in earlier
// ones; a byte 0x7F is a zero byte of word ^ 0x7F..7F, which is below 1. So the lowest bit set
// marks the first such byte when the first byte is the word's lowest (little-endian).
constexpr std::uint64_t EACH_BYTE = 0x0101010101010101;
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;
constexpr std::uint64_t bytesToLookUp(std::uint64_t word) {
  const std::uint64_t below20 = (word - 0x20 * EACH_BYTE) & ~word;
  const std::uint64_t delete7F = word ^ (0x7F * EACH_BYTE);
  const std::uint64_t is7F = (delete7F - EACH_BYTE) & ~delete7F;
  return (below20 | is7F) & HIGH_BITS;
}
static_assert(bytesToLookUp(0x2020202020202020) == 0 && bytesToLookUp(0xFFFEA09080817E7E) == 0);
static_assert(std::countr_zero(bytesToLookUp(0x0A0D202020202020)) / 8 == 6 &&
              std::countr_zero(bytesToLookUp(0x7F0D000120202020)) / 8 == 4 &&
              std::countr_zero(bytesToLookUp(0x202020202020207F)) / 8 == 0 &&
              std::countr_zero(bytesToLookUp(0x1F80808080808080)) / 8 == 7);

} // namespace

HeadScan RequestHeadScanner::scan(std::string_view received) {
  HeadScan scan;
  const std::size_t limit = std::min(received.size(), MAX_REQUEST_HEAD);
  scan.bareLineFeeds = bareLineFeeds_;
  std::size_t i = resumeAt_;
  while (i < limit) {
    // Up to the next byte to look up, eight bytes at a time while eight are left.
    if (limit - i >= sizeof(std::uint64_t)) {
      std::uint64_t word = 0;
      std::memcpy(&word, received.data() + i, sizeof word);
      const std::uint64_t lookUp = bytesToLookUp(word);
      if (lookUp == 0) {
        i += sizeof word;
        continue;
      }
      if constexpr (std::endian::native == std::endian::little)
        i += static_cast<std::size_t>(std::countr_zero(lookUp)) / 8;
    }
    const ByteKind kind = BYTE_KINDS[static_cast<unsigned char>(received[i])];
    if (kind == ByteKind::Control) {
      scan.result = HeadScan::Rejected;
      return scan;
    }
    if (kind == ByteKind::LineFeed) {
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
    ++i;
  }
  scan.result = received.size() >= MAX_REQUEST_HEAD ? HeadScan::Rejected : HeadScan::Incomplete;
  // A line feed among the last two bytes may yet start the blank line, so those two are looked
  // at again; checking a byte twice gives the same answer both times.
  resumeAt_ = static_cast<std::uint32_t>(limit >= 2 ? limit - 2 : 0);
  bareLineFeeds_ = scan.bareLineFeeds;
  return scan;
}

HeadScan scanRequestHead(std::string_view received) { return RequestHeadScanner().scan(received); }

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
