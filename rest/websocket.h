// The WebSocket side of a connection. Any request carrying "Sec-WebSocket-Key" is answered
// with the opening handshake and never reaches the router; after it the connection carries
// frames, which are read and ignored except that a ping is answered with a pong and a close
// frame with a close frame. A frame that breaks the protocol (RFC 6455: unmasked, a reserved
// opcode or RSV bit without an extension, a control frame fragmented or over 125 bytes) is
// answered with a close frame carrying status 1002. After either close frame the reader is
// closed: it reads nothing more, and the connection is to be closed once the frame is sent.
// Pure (no I/O); one reader per connection, on the event-loop thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rest {

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
  void answerControlFrame(std::string& output);
  // Writes a close frame with `status` and closes the reader.
  void close(std::uint16_t status, std::string& output);

  std::string header_;             // the current frame's header bytes so far
  std::uint64_t payloadLeft_ = 0;  // payload bytes of the current frame still to come
  bool inPayload_ = false;
  std::uint8_t opcode_ = 0;
  bool masked_ = false;
  std::uint8_t mask_[4] = {};
  std::uint64_t payloadOffset_ = 0;
  std::string controlPayload_;     // the payload of a control frame (at most 125 bytes)
  bool closed_ = false;
};

} // namespace rest
