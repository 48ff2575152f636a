#include "rest/reply_framing.h"

#include <algorithm>
#include <charconv>

namespace rest {
namespace {

// The chunk's end, then the last chunk.
constexpr std::string_view REPLY_TAIL = "\r\n0\r\n\r\n";

// The last short reply framed on this thread, whole, and its body: pages poll, and most of
// those replies repeat the one before. Longer bodies (a template) are neither kept nor looked
// for.
constexpr std::size_t KEPT_BODY_MAX = 64;
struct LastReply {
  std::string body;
  std::string framed;
};
thread_local LastReply lastReply;

// Appends the head, then `body` (not empty) as one chunk and the last chunk.
void appendChunked(std::string& output, std::string_view body) {
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

} // namespace

void sendJsonReply(std::string& output, std::string_view body, ReplyBody replyBody) {
  if (replyBody == ReplyBody::Omitted) {
    output += REPLY_HEAD;
    return;
  }
  if (body.empty()) {
    output += REPLY_HEAD;
    output += REPLY_TAIL.substr(2);
    return;
  }
  if (body.size() > KEPT_BODY_MAX) {
    appendChunked(output, body);
    return;
  }
  if (body != lastReply.body) {
    lastReply.framed.clear();
    appendChunked(lastReply.framed, body);
    lastReply.body.assign(body);
  }
  output += lastReply.framed;
}

} // namespace rest
