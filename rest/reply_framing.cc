#include "rest/reply_framing.h"

#include <algorithm>
#include <charconv>

namespace rest {

void sendJsonReply(std::string& output, std::string_view body, ReplyBody replyBody) {
  constexpr std::string_view CHUNK_END = "\r\n";
  constexpr std::string_view LAST_CHUNK = "0\r\n\r\n";
  if (replyBody == ReplyBody::Omitted) {
    output += REPLY_HEAD;
    return;
  }
  // The chunk's size line, in upper-case hexadecimal.
  char sizeLine[16 + CHUNK_END.size()];
  char* sizeLineEnd = sizeLine;
  if (!body.empty()) {
    sizeLineEnd = std::to_chars(sizeLine, sizeLine + 16, body.size(), 16).ptr;
    for (char* digit = sizeLine; digit != sizeLineEnd; ++digit)
      if (*digit >= 'a')
        *digit = static_cast<char>(*digit - 'a' + 'A');
    sizeLineEnd = std::copy(CHUNK_END.begin(), CHUNK_END.end(), sizeLineEnd);
  }
  // One growth at most, for the whole reply.
  output.reserve(output.size() + REPLY_HEAD.size() + sizeof sizeLine + body.size() +
                 CHUNK_END.size() + LAST_CHUNK.size());
  output += REPLY_HEAD;
  if (!body.empty()) {
    output.append(sizeLine, sizeLineEnd);
    output += body;
    output += CHUNK_END;
  }
  output += LAST_CHUNK;
}

} // namespace rest
