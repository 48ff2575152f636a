// Finds where a request head (request line and headers) ends in the bytes received so far and
// checks that it may be parsed: at most MAX_REQUEST_HEAD bytes, and no control character other
// than CR and LF. The head it finds is then read by the one parser (http_session.cc). Any
// thread; a scanner belongs to one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rest {

// A head still incomplete when this many bytes have arrived closes the connection.
inline constexpr std::size_t MAX_REQUEST_HEAD = 8192;

struct HeadScan {
  enum Result { Complete, Incomplete, Rejected } result = Incomplete;
  std::size_t length = 0;     // Complete: the head's bytes, its blank line included
  bool bareLineFeeds = false; // Complete: some line ends in LF alone
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

// The head with every line ending written as CR LF, for a parser that knows only that form.
std::string withCrLfLineEnds(std::string_view head);

} // namespace rest
