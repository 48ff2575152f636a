// Finds where a request head (request line and headers) ends in the bytes received so far and
// checks that it may be parsed: at most MAX_REQUEST_HEAD bytes, and no control character other
// than CR and LF. Reads the usual head, one that arrives whole in the plain form every browser
// sends, in the same single pass. Any thread; a scanner belongs to one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rest {

// A head still incomplete when this many bytes have arrived closes the connection.
inline constexpr std::size_t MAX_REQUEST_HEAD = 8192;

struct HeadScan {
  enum Result { Complete, Incomplete, Rejected } result = Incomplete;
  std::size_t length = 0;       // Complete: the head's bytes, its blank line included
  bool bareLineFeeds = false;   // Complete: some line ends in LF alone
};

// Scans a head as it arrives. `received` is every byte since the head began, so it only grows
// between calls until the head is complete; bytes already checked are not checked again, so a
// head sent a byte at a time costs no more than one sent whole. reset() before the next head.
class RequestHeadScanner {
 public:
  HeadScan scan(std::string_view received);
  void reset() { *this = RequestHeadScanner(); }

 private:
  // 32 bits hold any offset within a head; every connection has a scanner.
  std::uint32_t resumeAt_ = 0;
  bool bareLineFeeds_ = false;
};

// A whole head at once.
HeadScan scanRequestHead(std::string_view received);

// A complete head in the plain form, read in one pass without copying: a request line
// "METHOD TARGET HTTP/1.x" and header lines "Name: value", each ending in CR LF, at most
// MAX_REQUEST_HEAD bytes with its blank line, and none of the headers that change how the
// request is read (Content-Length, Transfer-Encoding, Connection, Proxy-Connection, Upgrade,
// Sec-WebSocket-Key). Such a request has no body and goes to the router. The views point into
// the bytes read.
struct PlainRequestHead {
  std::size_t length = 0;  // the head's bytes, its blank line included
  std::string_view target; // as sent
  bool isHead = false;     // the method is HEAD
};

// The head at the start of `received` when it is complete and plain; otherwise nothing, and
// the head goes the general way (RequestHeadScanner, then the full parser), which answers such
// a head exactly as this does. Each thread keeps the last plain head it read: the same bytes
// again cost one comparison.
std::optional<PlainRequestHead> readPlainRequestHead(std::string_view received);

// The head with every line ending written as CR LF, for a parser that knows only that form.
std::string withCrLfLineEnds(std::string_view head);

} // namespace rest
