#include "rest/reply_framing.h"

#include <charconv>

namespace rest {

void sendJsonReply(std::string& output, std::string_view body, ReplyBody replyBody) {
  output += REPLY_HEAD;
  if (replyBody == ReplyBody::Omitted)
    return;
  if (!body.empty()) {
    char size[16];
    const auto end = std::to_chars(size, size + sizeof size, body.size(), 16).ptr;
    for (char* digit = size; digit != end; ++digit)
      if (*digit >= 'a')
        *digit = static_cast<char>(*digit - 'a' + 'A');
    output.append(size, end);
    output += "\r\n";
    output += body;
    output += "\r\n";
  }
  output += "0\r\n\r\n";
}

} // namespace rest
