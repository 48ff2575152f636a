#include "rest/request_head.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rest {
namespace {

bool allowedInHead(unsigned char byte) {
  return byte == '\r' || byte == '\n' || (byte >= 0x20 && byte != 0x7F);
}

// A tchar: may appear in a method or a header name.
constexpr std::array<bool, 256> tokenChars() {
  std::array<bool, 256> token{};
  for (int c = 0; c < 256; ++c)
    token[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
    token[static_cast<unsigned char>(c)] = true;
  return token;
}
constexpr std::array<bool, 256> TOKEN_CHARS = tokenChars();

std::size_t skipToken(std::string_view bytes, std::size_t at) {
  while (at < bytes.size() && TOKEN_CHARS[static_cast<unsigned char>(bytes[at])])
    ++at;
  return at;
}

// Skips bytes of at least `lowest` other than DEL: with 0x21 a request target's, with 0x20 a
// header value's. Sixteen at a time where SSE2 is there, then eight at a time: in each word,
// the lowest byte the test marks is the first that ends the run (a mark past it may be wrong,
// one before it never is).
[[gnu::always_inline]] inline std::size_t skipAtLeast(std::string_view bytes, std::size_t at,
                                                      unsigned char lowest) {
#if defined(__SSE2__)
  const __m128i highestBelow = _mm_set1_epi8(static_cast<char>(lowest - 1));
  const __m128i del = _mm_set1_epi8(0x7F);
  for (; at + 16 <= bytes.size(); at += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + at));
    const __m128i below = _mm_cmpeq_epi8(_mm_min_epu8(block, highestBelow), block);
    if (const int ends = _mm_movemask_epi8(_mm_or_si128(below, _mm_cmpeq_epi8(block, del))))
      return at + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(ends)));
  }
#endif
  constexpr std::uint64_t ONES = 0x0101010101010101;
  constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, 8);
    if constexpr (std::endian::native == std::endian::big)
      word = __builtin_bswap64(word); // the first byte lowest
    // Bytes below `lowest` (bytes from 0x80 up never count), and DEL bytes.
    const std::uint64_t below = (word - ONES * lowest) & ~word & HIGH_BITS;
    const std::uint64_t notDel = word ^ (ONES * 0x7F);
    const std::uint64_t dels = (notDel - ONES) & ~notDel & HIGH_BITS;
    if (const std::uint64_t ends = below | dels; ends != 0)
      return at + static_cast<std::size_t>(std::countr_zero(ends)) / 8;
  }
  while (at < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    if (byte < lowest || byte == 0x7F)
      break;
    ++at;
  }
  return at;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != lowerCase[i])
      return false;
  }
  return true;
}

// The headers the full parser acts on: they may bring a body, make the request a WebSocket
// handshake, or (Connection, when its list is malformed) close the connection.
bool changesHowTheRequestIsRead(std::string_view name) {
  switch (name.size()) {
  case 7:
    return equalsIgnoringCase(name, "upgrade");
  case 10:
    return equalsIgnoringCase(name, "connection");
  case 14:
    return equalsIgnoringCase(name, "content-length");
  case 16:
    return equalsIgnoringCase(name, "proxy-connection");
  case 17:
    return equalsIgnoringCase(name, "transfer-encoding") ||
           equalsIgnoringCase(name, "sec-websocket-key");
  default:
    return false;
  }
}

} // namespace

HeadScan RequestHeadScanner::scan(std::string_view received) {
  HeadScan scan;
  const std::size_t limit = received.size() < MAX_REQUEST_HEAD ? received.size() : MAX_REQUEST_HEAD;
  scan.bareLineFeeds = bareLineFeeds_;
  for (std::size_t i = resumeAt_; i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(received[i]);
    if (!allowedInHead(byte)) {
      scan.result = HeadScan::Rejected;
      return scan;
    }
    if (byte != '\n')
      continue;
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

namespace {

std::optional<PlainRequestHead> readPlainHeadOnce(std::string_view received) {
  const std::string_view bytes = received.substr(0, MAX_REQUEST_HEAD);
  const std::size_t size = bytes.size();
  std::size_t at = 0;

  // The request line.
  at = skipToken(bytes, at);
  if (at == 0 || at == size || bytes[at] != ' ')
    return std::nullopt;
  PlainRequestHead head;
  head.isHead = bytes.substr(0, at) == "HEAD";
  const std::size_t targetStart = ++at;
  at = skipAtLeast(bytes, at, 0x21);
  if (at == targetStart || at == size || bytes[at] != ' ')
    return std::nullopt;
  head.target = bytes.substr(targetStart, at - targetStart);
  const std::string_view version = bytes.substr(at + 1, 10);
  if (version != "HTTP/1.1\r\n" && version != "HTTP/1.0\r\n")
    return std::nullopt;
  at += 11;

  // Header lines until the blank one. A line that starts with a space continues the one before
  // (obsolete folding): it has no name, so it is not plain.
  for (;;) {
    if (at + 1 >= size)
      return std::nullopt;
    if (bytes[at] == '\r') {
      if (bytes[at + 1] != '\n')
        return std::nullopt;
      head.length = at + 2;
      return head;
    }
    const std::size_t nameStart = at;
    at = skipToken(bytes, at);
    if (at == nameStart || at == size || bytes[at] != ':' ||
        changesHowTheRequestIsRead(bytes.substr(nameStart, at - nameStart)))
      return std::nullopt;
    at = skipAtLeast(bytes, at + 1, 0x20);
    if (at + 1 >= size || bytes[at] != '\r' || bytes[at + 1] != '\n')
      return std::nullopt;
    at += 2;
  }
}

// The last plain head read on this thread, its bytes and what was read from them: a page polls
// with the same head every time, and comparing it costs a quarter of reading it. A head is read
// from its own bytes alone, so bytes that start with the same head read the same. Longer heads
// are neither kept nor looked for.
constexpr std::size_t KEPT_HEAD_MAX = 2048;
struct LastPlainHead {
  std::string bytes;     // the head, its blank line included; empty before the first
  PlainRequestHead head; // its target points into `bytes`
};
thread_local LastPlainHead lastPlainHead;

} // namespace

std::optional<PlainRequestHead> readPlainRequestHead(std::string_view received) {
  LastPlainHead& last = lastPlainHead;
  // The same target, at the same place in other bytes.
  const auto moved = [](const PlainRequestHead& head, std::string_view from, std::string_view to) {
    PlainRequestHead there = head;
    there.target = to.substr(static_cast<std::size_t>(head.target.data() - from.data()),
                             head.target.size());
    return there;
  };
  if (!last.bytes.empty() && received.starts_with(last.bytes))
    return moved(last.head, last.bytes, received);
  std::optional<PlainRequestHead> head = readPlainHeadOnce(received);
  if (head && head->length <= KEPT_HEAD_MAX) {
    last.bytes.assign(received.substr(0, head->length));
    last.head = moved(*head, received, last.bytes);
  }
  return head;
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
