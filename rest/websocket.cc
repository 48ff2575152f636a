#include "rest/websocket.h"

// Beast's SHA-1 and base64 for the accept key: public nowhere else, unchanged since Boost 1.81.
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/detail/sha1.hpp>

namespace rest {
namespace {

constexpr std::string_view WEBSOCKET_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::uint8_t OPCODE_CONTINUATION = 0x0;
constexpr std::uint8_t OPCODE_TEXT = 0x1;
constexpr std::uint8_t OPCODE_CLOSE = 0x8;
constexpr std::uint8_t OPCODE_PING = 0x9;
constexpr std::uint8_t OPCODE_PONG = 0xA;
constexpr std::size_t MAX_CONTROL_PAYLOAD = 125;
constexpr std::uint16_t STATUS_PROTOCOL_ERROR = 1002;
constexpr std::uint16_t STATUS_INVALID_TEXT = 1007;

// Whether the first two bytes of a client's frame header break the protocol. No extension is
// ever negotiated, so every RSV bit must be clear; opcodes 3-7 and 11-15 are reserved; a client
// masks every frame; a control frame is never fragmented and carries at most 125 bytes, a close
// frame either no status or a 2-byte one; a continuation belongs to a message begun before, and
// a new message waits until the last one's final frame.
bool breaksProtocol(std::uint8_t first, std::uint8_t second, bool inMessage) {
  const std::uint8_t opcode = first & 0x0F;
  const std::uint8_t length = second & 0x7F;
  const bool control = (opcode & 0x8) != 0;
  const bool reserved = control ? opcode > OPCODE_PONG : opcode > 0x2;
  const bool outOfOrder = !control && (opcode == OPCODE_CONTINUATION) != inMessage;
  return (first & 0x70) != 0 || reserved || (second & 0x80) == 0 || outOfOrder ||
         (control && ((first & 0x80) == 0 || length > MAX_CONTROL_PAYLOAD)) ||
         (opcode == OPCODE_CLOSE && length == 1);
}

// Whether a client may send this close status (RFC 6455 section 7.4): the protocol's own codes
// except those only for reporting (1004-1006, 1015), and those of applications (3000-4999).
bool isSendableCloseStatus(std::uint16_t status) {
  return (status >= 1000 && status <= 1003) || (status >= 1007 && status <= 1014) ||
         (status >= 3000 && status <= 4999);
}

// Bytes of a frame header: 2, plus 2 or 8 of extended length, plus 4 of mask when masked.
std::size_t headerSize(std::string_view header) {
  if (header.size() < 2)
    return 2;
  const auto second = static_cast<std::uint8_t>(header[1]);
  const std::size_t lengthCode = second & 0x7F;
  const std::size_t extended = lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0;
  return 2 + extended + ((second & 0x80) != 0 ? 4 : 0);
}

} // namespace

bool Utf8Check::feed(std::uint8_t byte) {
  if (need_ > 0) {
    if (byte < low_ || byte > high_)
      return false;
    low_ = 0x80;
    high_ = 0xBF;
    --need_;
    return true;
  }
  // A lead byte; E0, ED, F0 and F4 narrow their first continuation byte to rule out overlong
  // forms, surrogates and code points above U+10FFFF.
  if (byte < 0x80)
    return true;
  if (byte < 0xC2 || byte > 0xF4)
    return false;
  need_ = byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
  if (byte == 0xE0)
    low_ = 0xA0;
  else if (byte == 0xED)
    high_ = 0x9F;
  else if (byte == 0xF0)
    low_ = 0x90;
  else if (byte == 0xF4)
    high_ = 0x8F;
  return true;
}

std::string webSocketAccept(std::string_view key) {
  namespace detail = boost::beast::detail;
  detail::sha1_context context;
  detail::init(context);
  detail::update(context, key.data(), key.size());
  detail::update(context, WEBSOCKET_GUID.data(), WEBSOCKET_GUID.size());
  unsigned char digest[detail::sha1_context::digest_size];
  detail::finish(context, digest);
  std::string accept(detail::base64::encoded_size(sizeof digest), '\0');
  accept.resize(detail::base64::encode(accept.data(), digest, sizeof digest));
  return accept;
}

std::string webSocketHandshake(std::string_view key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         webSocketAccept(key) + "\r\n\r\n";
}

void WebSocketFrameReader::receive(std::string_view data, std::string& output) {
  while (!data.empty() && !closed_) {
    if (!inPayload_) {
      // Collect the header a byte at a time; it is at most 14 bytes.
      header_.push_back(data.front());
      data.remove_prefix(1);
      if (header_.size() == 2 &&
          breaksProtocol(static_cast<std::uint8_t>(header_[0]),
                         static_cast<std::uint8_t>(header_[1]), inMessage_)) {
        close(STATUS_PROTOCOL_ERROR, output);
        return;
      }
      if (header_.size() < headerSize(header_))
        continue;
      const auto first = static_cast<std::uint8_t>(header_[0]);
      const auto second = static_cast<std::uint8_t>(header_[1]);
      opcode_ = first & 0x0F;
      masked_ = (second & 0x80) != 0;
      std::uint64_t length = second & 0x7F;
      std::size_t at = 2;
      // A 64-bit length has its most significant bit clear.
      if (length == 127 && (static_cast<std::uint8_t>(header_[2]) & 0x80) != 0) {
        close(STATUS_PROTOCOL_ERROR, output);
        return;
      }
      if (length >= 126) {
        const std::size_t bytes = length == 126 ? 2 : 8;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i)
          length = length << 8 | static_cast<std::uint8_t>(header_[at + i]);
        at += bytes;
      }
      if (masked_)
        for (int i = 0; i < 4; ++i)
          mask_[i] = static_cast<std::uint8_t>(header_[at + i]);
      header_.clear();
      payloadLeft_ = length;
      payloadOffset_ = 0;
      controlPayload_.clear();
      if ((opcode_ & 0x8) == 0) {
        // The last text message ended on a character boundary, or the reader is closed.
        if (opcode_ != OPCODE_CONTINUATION)
          textMessage_ = opcode_ == OPCODE_TEXT;
        inMessage_ = (first & 0x80) == 0;
      }
      if (length == 0) {
        finishFrame(output);
        continue;
      }
      inPayload_ = true;
    }

    const std::size_t take =
        payloadLeft_ < data.size() ? static_cast<std::size_t>(payloadLeft_) : data.size();
    if ((opcode_ & 0x8) != 0) { // a control frame: its payload is kept to be echoed
      for (std::size_t i = 0; i < take && controlPayload_.size() < MAX_CONTROL_PAYLOAD; ++i)
        controlPayload_.push_back(static_cast<char>(
            static_cast<std::uint8_t>(data[i]) ^ (masked_ ? mask_[(payloadOffset_ + i) % 4] : 0)));
    } else if (textMessage_) { // text is checked as it passes, without being kept
      for (std::size_t i = 0; i < take; ++i)
        if (!text_.feed(static_cast<std::uint8_t>(data[i]) ^ mask_[(payloadOffset_ + i) % 4])) {
          close(STATUS_INVALID_TEXT, output);
          return;
        }
    }
    data.remove_prefix(take);
    payloadLeft_ -= take;
    payloadOffset_ += take;
    if (payloadLeft_ == 0) {
      inPayload_ = false;
      finishFrame(output);
    }
  }
}

void WebSocketFrameReader::finishFrame(std::string& output) {
  if ((opcode_ & 0x8) != 0)
    answerControlFrame(output);
  else if (!inMessage_ && textMessage_ && !text_.complete())
    close(STATUS_INVALID_TEXT, output);
}

void WebSocketFrameReader::answerControlFrame(std::string& output) {
  if (opcode_ != OPCODE_CLOSE && opcode_ != OPCODE_PING)
    return;
  if (opcode_ == OPCODE_CLOSE && controlPayload_.size() >= 2) {
    const auto status =
        static_cast<std::uint16_t>(static_cast<std::uint8_t>(controlPayload_[0]) << 8 |
                                   static_cast<std::uint8_t>(controlPayload_[1]));
    if (!isSendableCloseStatus(status))
      return close(STATUS_PROTOCOL_ERROR, output);
    Utf8Check reason;
    for (std::size_t i = 2; i < controlPayload_.size(); ++i)
      if (!reason.feed(static_cast<std::uint8_t>(controlPayload_[i])))
        return close(STATUS_INVALID_TEXT, output);
    if (!reason.complete())
      return close(STATUS_INVALID_TEXT, output);
  }
  // The server's frames are unmasked; a close frame echoes the client's status code.
  const std::string_view payload =
      opcode_ == OPCODE_CLOSE ? std::string_view(controlPayload_).substr(0, 2) : controlPayload_;
  output.push_back(
      static_cast<char>(0x80 | (opcode_ == OPCODE_CLOSE ? OPCODE_CLOSE : OPCODE_PONG)));
  output.push_back(static_cast<char>(payload.size()));
  output += payload;
  if (opcode_ == OPCODE_CLOSE)
    closed_ = true;
}

void WebSocketFrameReader::close(std::uint16_t status, std::string& output) {
  output.push_back(static_cast<char>(0x80 | OPCODE_CLOSE));
  output.push_back(2);
  output.push_back(static_cast<char>(status >> 8));
  output.push_back(static_cast<char>(status & 0xFF));
  closed_ = true;
}

} // namespace rest
