// The one shape of every reply: status 200, the CORS header, and the JSON body as a single
// chunk of a chunked body. Any thread: each keeps the last reply it framed, for reuse.
#pragma once

#include <string>
#include <string_view>

namespace rest {

inline constexpr std::string_view REPLY_HEAD =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\n";

enum class ReplyBody { Sent, Omitted }; // Omitted answers a HEAD request: the head alone

// Appends to `output` the head, then (unless omitted) the body as one chunk whose size is in
// upper-case hexadecimal, and the last chunk.
void sendJsonReply(std::string& output, std::string_view body, ReplyBody replyBody = ReplyBody::Sent);

} // namespace rest
