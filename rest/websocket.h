// The WebSocket side of a connection. Any request carrying "Sec-WebSocket-Key" is answered
// with the opening handshake and never reaches the router; after it the connection carries
// frames, which are read and ignored except that a ping is answered with a pong and a close
// frame with a close frame. The connection then stays until the client closes it.
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
  // frames answered to `output`.
  void receive(std::string_view data, std::string& output);

 private:
  void answerControlFrame(std::string& output);

  std::string header_;             // the current frame's header bytes so far
  std::uint64_t payloadLeft_ = 0;  // payload bytes of the current frame still to come
  bool inPayload_ = false;
  std::uint8_t opcode_ = 0;
  bool masked_ = false;
  std::uint8_t mask_[4] = {};
  std::uint64_t payloadOffset_ = 0;
  std::string controlPayload_;     // the payload of a control frame (at most 125 bytes)
  bool closeAnswered_ = false;
};

} // namespace rest
