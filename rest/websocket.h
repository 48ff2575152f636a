// The WebSocket side of a connection. Any request carrying "Sec-WebSocket-Key" is answered
// with the opening handshake and never reaches the router; after it the connection carries
// frames, which are read and ignored except that a ping is answered with a pong and a close
// frame with a close frame. A frame that breaks the protocol (RFC 6455: unmasked, a reserved
// opcode or RSV bit without an extension, a control frame fragmented or over 125 bytes, a close
// frame with a 1-byte payload or a status code not allowed on the wire, a continuation with no
// message started or a new message before the last one ended, a length with its top bit set) is
// answered with a close frame carrying status 1002; text that is not UTF-8, in a text message or
// a close reason, with status 1007. After any close frame the reader is closed: it reads nothing
// more, and the connection is to be closed once the frame is sent.
// Pure (no I/O); one reader per connection, on the event-loop thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rest {

// Checks UTF-8 that arrives a byte at a time (RFC 3629: no overlong form, no surrogate, nothing
// above U+10FFFF), so a text message split across frames and reads needs no copy.
class Utf8Check {
 public:
  // False as soon as the bytes so far cannot begin valid UTF-8.
  bool feed(std::uint8_t byte);
  // True when the bytes so far end on a character boundary.
  bool complete() const { return need_ == 0; }

 private:
  std::uint8_t need_ = 0;   // continuation bytes still to come
  std::uint8_t low_ = 0x80; // range allowed for the next continuation byte
  std::uint8_t high_ = 0xBF;
};

// The Sec-WebSocket-Accept value for a client's key.
std::string webSocketAccept(std::string_view key);

// The whole handshake reply for a client's key.
std::string webSocketHandshake(std::string_view key);

class WebSocketFrameReader {
 public:
  // Reads the frames in `data` (continuing any frame cut short before) and appends the
  // frames answered to `output`. Once closed, ignores what follows.
  void receive(std::string_view data, std::string& output);

  // True once a close frame has been written: the connection is to be closed after it.
  bool closed() const { return closed_; }

 private:
  // Called at the end of each frame's payload.
  void finishFrame(std::string& output);
  void answerControlFrame(std::string& output);
  // Writes a close frame with `status` and closes the reader.
  void close(std::uint16_t status, std::string& output);

  std::string header_;            // the current frame's header bytes so far
  std::uint64_t payloadLeft_ = 0; // payload bytes of the current frame still to come
  bool inPayload_ = false;
  std::uint8_t opcode_ = 0;
  bool masked_ = false;
  std::uint8_t mask_[4] = {};
  std::uint64_t payloadOffset_ = 0;
  std::string controlPayload_; // the payload of a control frame (at most 125 bytes)
  bool inMessage_ = false;     // a fragmented data message awaits its final frame
  bool textMessage_ = false;   // the current or last data message is text
  Utf8Check text_;             // the current text message so far
  bool closed_ = false;
};

} // namespace rest
