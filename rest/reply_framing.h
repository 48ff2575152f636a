// The two shapes of reply, both framed here: every request routed gets status 200, the CORS
// header, and the JSON body as a single chunk of a chunked body; a CORS preflight gets status
// 200, the headers that let the page make its request, and no body. Any thread; it keeps
// nothing.
#pragma once

#include <string>
#include <string_view>

namespace rest {

inline constexpr std::string_view REPLY_HEAD =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\n";

enum class ReplyBody { Sent, Omitted }; // Omitted answers a HEAD request: the head alone

// Appends to `output` the head, then (unless omitted) the body as one chunk whose size is in
// upper-case hexadecimal, and the last chunk.
void sendJsonReply(std::string& output, std::string_view body,
                   ReplyBody replyBody = ReplyBody::Sent);

// How a preflight's reply begins; its Access-Control-Allow-Headers follow.
inline constexpr std::string_view PREFLIGHT_REPLY_START =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, POST, HEAD, OPTIONS\r\nAccess-Control-Allow-Headers: ";

// Appends to `output` the whole reply to a CORS preflight that asked for `requestedHeaders`
// (its Access-Control-Request-Headers, empty when it had none): those headers allowed as
// listed when the list is plain (header names, commas and spaces), else any header ("*");
// the answer cached for two hours (the most Chromium keeps one); no body.
void sendPreflightReply(std::string& output, std::string_view requestedHeaders);

} // namespace rest
