#include "rest/reply_framing.h"

#include <algorithm>
#include <charconv>

namespace rest {
namespace {

// The chunk's end, then the last chunk.
constexpr std::string_view REPLY_TAIL = "\r\n0\r\n\r\n";

constexpr std::string_view PREFLIGHT_REPLY_END =
    "\r\nAccess-Control-Max-Age: 7200\r\nContent-Length: 0\r\n\r\n";

// Header names (HTTP tokens), with the commas and spaces of a list: nothing that could end or
// bend the header it is written into.
bool isPlainHeaderList(std::string_view list) {
  return !list.empty() && std::all_of(list.begin(), list.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           std::string_view("!#$%&'*+-.^_`|~, ").find(c) != std::string_view::npos;
  });
}

} // namespace

void sendJsonReply(std::string& output, std::string_view body, ReplyBody replyBody) {
  if (replyBody == ReplyBody::Omitted) {
    output += REPLY_HEAD;
    return;
  }
  if (body.empty()) { // no chunk before the last one
    output += REPLY_HEAD;
    output += REPLY_TAIL.substr(2);
    return;
  }
  // The head and the chunk's size line in upper-case hexadecimal, put together here so that
  // the reply takes three appends.
  char head[REPLY_HEAD.size() + 16 + 2];
  char* headEnd = std::copy(REPLY_HEAD.begin(), REPLY_HEAD.end(), head);
  char* const digits = headEnd;
  headEnd = std::to_chars(digits, digits + 16, body.size(), 16).ptr;
  for (char* digit = digits; digit != headEnd; ++digit)
    if (*digit >= 'a')
      *digit = static_cast<char>(*digit - 'a' + 'A');
  *headEnd++ = '\r';
  *headEnd++ = '\n';
  output.reserve(output.size() + static_cast<std::size_t>(headEnd - head) + body.size() +
                 REPLY_TAIL.size());
  output.append(head, headEnd);
  output += body;
  output += REPLY_TAIL;
}

void sendPreflightReply(std::string& output, std::string_view requestedHeaders) {
  output += PREFLIGHT_REPLY_START;
  output += isPlainHeaderList(requestedHeaders) ? requestedHeaders : "*";
  output += PREFLIGHT_REPLY_END;
}

} // namespace rest
