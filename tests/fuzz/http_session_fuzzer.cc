// The whole request path from raw bytes, without a socket: HttpSession::receive, the head scan,
// the parser, the router and the reply framing, fed the input in pieces.
//
// Input: the first byte chooses how the rest is cut into pieces (see pieceSizes); the rest is
// what a client sends. Checked after every piece:
//  - the output only ever holds whole units: replies framed as the service frames them (a
//    preflight's reply among them), one WebSocket handshake, and after it only pong and close
//    frames, a close status only one allowed on the wire; nothing after a close frame;
//  - once receive has said Close, later calls say Close again and write nothing;
//  - the same bytes fed in one piece give the same output and the same verdict.
// The reader is opened once before fuzzing and nothing is ever pressed, so every reply depends
// on the request alone.
#include "capture/begin_capture.h"
#include "rest/http_session.h"
#include "rest/reply_framing.h"
#include "simulator/control_commands.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using rest::HttpSession;

[[noreturn]] void fail(const char* what, std::string_view output, std::size_t at) {
  std::fprintf(stderr, "invariant broken: %s (at byte %zu of %zu of output)\n", what, at,
               output.size());
  std::abort();
}

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool isBase64(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

constexpr std::string_view HANDSHAKE_START =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: ";

// Checks that `output` is a sequence of whole units. Aborts otherwise.
void checkWholeUnits(std::string_view output) {
  enum class Phase { Http, WebSocket, Closed } phase = Phase::Http;
  std::size_t at = 0;
  while (at < output.size()) {
    const std::string_view rest = output.substr(at);
    if (phase == Phase::Closed)
      fail("bytes after the close frame", output, at);
    if (phase == Phase::WebSocket) {
      // A server frame: final, unmasked, pong or close, payload of at most 125 bytes (2 for
      // close: the status code echoed, or nothing).
      if (rest.size() < 2)
        fail("cut WebSocket frame header", output, at);
      const auto first = static_cast<unsigned char>(rest[0]);
      const auto length = static_cast<unsigned char>(rest[1]);
      if (first != 0x8A && first != 0x88)
        fail("WebSocket frame other than pong or close", output, at);
      if (length > (first == 0x88 ? 2 : 125))
        fail("WebSocket control frame too long", output, at);
      if (rest.size() < 2u + length)
        fail("cut WebSocket frame payload", output, at);
      // A close status is one a peer may send: never 0-999, 1004-1006, 1015-2999 or 5000 up.
      if (first == 0x88 && length == 2) {
        const unsigned status =
            static_cast<unsigned char>(rest[2]) << 8 | static_cast<unsigned char>(rest[3]);
        if (!((status >= 1000 && status <= 1003) || (status >= 1007 && status <= 1014) ||
              (status >= 3000 && status <= 4999)))
          fail("close status not allowed on the wire", output, at);
      }
      at += 2u + length;
      if (first == 0x88)
        phase = Phase::Closed;
      continue;
    }
    if (rest.substr(0, HANDSHAKE_START.size()) == HANDSHAKE_START) {
      const std::string_view accept = rest.substr(HANDSHAKE_START.size());
      if (accept.size() < 32 || accept.substr(28, 4) != "\r\n\r\n")
        fail("cut or malformed WebSocket handshake", output, at);
      for (std::size_t i = 0; i < 28; ++i)
        if (!isBase64(accept[i]))
          fail("accept key not base64", output, at);
      at += HANDSHAKE_START.size() + 32;
      phase = Phase::WebSocket;
      continue;
    }
    if (rest.substr(0, rest::PREFLIGHT_REPLY_START.size()) == rest::PREFLIGHT_REPLY_START) {
      // The allowed headers, on one line, then the rest of the head and no body.
      constexpr std::string_view END =
          "\r\nAccess-Control-Max-Age: 7200\r\nContent-Length: 0\r\n\r\n";
      const std::size_t lineEnd = rest.find("\r\n", rest::PREFLIGHT_REPLY_START.size());
      if (lineEnd == std::string_view::npos || rest.substr(lineEnd, END.size()) != END)
        fail("cut or misframed preflight reply", output, at);
      at += lineEnd + END.size();
      continue;
    }
    if (rest.substr(0, rest::REPLY_HEAD.size()) != rest::REPLY_HEAD)
      fail("bytes that start no reply", output, at);
    at += rest::REPLY_HEAD.size();
    // A HEAD request's reply is the head alone: another unit or the end follows.
    if (at == output.size() || !isUpperHex(output[at]))
      continue;
    std::size_t sizeEnd = at;
    while (sizeEnd < output.size() && isUpperHex(output[sizeEnd]))
      ++sizeEnd;
    const std::string_view sizeText = output.substr(at, sizeEnd - at);
    if (sizeText[0] == '0' || sizeText.size() > 4)
      fail("chunk size empty, with a leading zero or absurd", output, at);
    const std::size_t size = std::strtoul(std::string(sizeText).c_str(), nullptr, 16);
    const std::string_view chunk = output.substr(sizeEnd);
    if (chunk.size() < 2 + size + 7 || chunk.substr(0, 2) != "\r\n" ||
        chunk.substr(2 + size, 7) != "\r\n0\r\n\r\n")
      fail("cut or misframed chunked body", output, at);
    const std::string_view body = chunk.substr(2, size);
    if (body.substr(0, 7) != "{\"ret\":" || body.back() != '}')
      fail("body is not a reply's JSON", output, at);
    at = sizeEnd + 2 + size + 7;
  }
}

// Piece sizes from the selector byte: a fixed size of 1 to 64, or sizes that vary from piece to
// piece when the top bit is set.
std::vector<std::size_t> pieceSizes(std::uint8_t selector, std::size_t total) {
  std::vector<std::size_t> sizes;
  std::uint32_t state = selector * 2654435761u + 1;
  const std::size_t fixed = 1 + (selector & 0x3F);
  for (std::size_t used = 0; used < total;) {
    std::size_t size = fixed;
    if (selector & 0x80) {
      state = state * 1103515245u + 12345u;
      size = 1 + (state >> 16) % (fixed * 4);
    }
    if (size > total - used)
      size = total - used;
    sizes.push_back(size);
    used += size;
  }
  return sizes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Open the simulated reader (attached by the first command) so that beginCapture, info and
  // the rest answer the same way for the whole run.
  simulator::runControlCommand("plug");
  const std::string reply = capture::beginCapture(1, 1);
  if (reply.substr(0, 9) != "{\"ret\":0,") {
    std::fprintf(stderr, "the simulated reader did not open: %s\n", reply.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  HttpSession pieces;
  std::string output;
  HttpSession::Next next = HttpSession::Next::Read;
  std::size_t used = 0;
  for (const std::size_t piece : pieceSizes(data[0], input.size())) {
    const std::size_t before = output.size();
    const HttpSession::Next verdict = pieces.receive(input.substr(used, piece), output);
    used += piece;
    if (next == HttpSession::Next::Close &&
        (verdict != HttpSession::Next::Close || output.size() != before))
      fail("output or Read after Close", output, before);
    next = verdict;
    checkWholeUnits(output);
  }

  HttpSession whole;
  std::string wholeOutput;
  const HttpSession::Next wholeNext = whole.receive(input, wholeOutput);
  if (wholeOutput != output)
    fail("output depends on how the input was cut", output, 0);
  if (!input.empty() && wholeNext != next)
    fail("verdict depends on how the input was cut", output, 0);
  return 0;
}
