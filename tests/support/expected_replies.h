// What the service answers, as every test program expects it byte for byte: the endpoints' paths,
// the fixed reply head and the chunk framing around a body, and the bodies the tests compare
// most. Header-only; any thread may use it.
#pragma once

#include <cstdio>
#include <string>

namespace testing_support {

inline const std::string INFO_PATH = "/varuvezivuv/info";
inline const std::string BEGIN_CAPTURE_PATH = "/varuvezivuv/fingerprint/beginCapture";
inline const std::string GET_IMAGE_PATH = "/varuvezivuv/fingerprint/getImage";
inline const std::string GET_TEMPLATE_PATH = "/varuvezivuv/fingerprint/getTemplate";
inline const std::string CANCEL_CAPTURE_PATH = "/varuvezivuv/fingerprint/cancelCapture";

// Every reply starts with this head; its body follows as one chunk and the last chunk.
inline const std::string REPLY_HEAD =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\n";
// What follows a reply's body: the end of its chunk and the last chunk.
inline const std::string LAST_CHUNK = "\r\n0\r\n\r\n";

// The whole reply carrying `body`: the head, the chunk size in upper-case hex, the body.
inline std::string framed(const std::string& body) {
  char size[16];
  std::snprintf(size, sizeof size, "%zX", body.size());
  return REPLY_HEAD + size + "\r\n" + body + LAST_CHUNK;
}

// The simulated reader's serial, as the first beginCapture reports it.
inline const std::string SERIAL_REPLY = "{\"ret\":0, \"data\":{\"sn\":\"SIM-0000-0001\"}}";

// A getImage body.
inline std::string progressReply(int ret, int enrollIndex) {
  return "{\"ret\":" + std::to_string(ret) +
         ", \"data\":{\"enroll_index\":" + std::to_string(enrollIndex) + "}}";
}

// A getTemplate body handing over `text`; TEMPLATE_REPLY_START is all before the text.
inline const std::string TEMPLATE_REPLY_START = "{\"ret\":0, \"data\":{\"template\":\"";
inline std::string templateReply(const std::string& text) {
  return TEMPLATE_REPLY_START + text + "\"}}";
}

// The length of every template text: 2048 bytes in base64.
constexpr std::size_t TEMPLATE_TEXT_LENGTH = 2732;

} // namespace testing_support
