// Finds where a request head (request line and headers) ends in the bytes received so far and
// checks that it may be parsed: at most MAX_REQUEST_HEAD bytes, and no control character other
// than CR and LF. Pure; any thread.
#pragma once

#include <cstddef>
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

HeadScan scanRequestHead(std::string_view received);

// The head with every line ending written as CR LF, for a parser that knows only that form.
std::string withCrLfLineEnds(std::string_view head);

} // namespace rest
