#include "rest/websocket.h"

#include <gtest/gtest.h>

namespace rest {
namespace {

// A client frame: FIN, the opcode, masked with a fixed key.
std::string clientFrame(std::uint8_t opcode, const std::string& payload) {
  const std::uint8_t mask[4] = {0x11, 0x22, 0x33, 0x44};
  std::string frame;
  frame.push_back(static_cast<char>(0x80 | opcode));
  if (payload.size() < 126) {
    frame.push_back(static_cast<char>(0x80 | payload.size()));
  } else {
    frame.push_back(static_cast<char>(0x80 | 126));
    frame.push_back(static_cast<char>(payload.size() >> 8));
    frame.push_back(static_cast<char>(payload.size() & 0xFF));
  }
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (std::size_t i = 0; i < payload.size(); ++i)
    frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
  return frame;
}

TEST(WebSocket, AcceptValueFollowsTheProtocolsExample) {
  EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(webSocketHandshake("dGhlIHNhbXBsZSBub25jZQ=="),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(WebSocket, DataFramesAreIgnoredWhateverTheirSize) {
  WebSocketFrameReader reader;
  std::string output;
  reader.receive(clientFrame(0x1, "hello") + clientFrame(0x2, std::string(300, 'z')), output);
  EXPECT_EQ(output, "");
}

TEST(WebSocket, PingGetsPongAndCloseGetsCloseThenNothingMore) {
  WebSocketFrameReader reader;
  std::string output;
  reader.receive(clientFrame(0x9, "hi"), output);
  EXPECT_EQ(output, std::string("\x8A\x02hi", 4));

  output.clear();
  reader.receive(clientFrame(0x8, std::string("\x03\xE8", 2) + "bye"), output);
  EXPECT_EQ(output, std::string("\x88\x02\x03\xE8", 4));

  output.clear();
  reader.receive(clientFrame(0x9, "late"), output);
  EXPECT_EQ(output, "");
}

TEST(WebSocket, FramesSplitAcrossReadsAreReassembled) {
  const std::string bytes = clientFrame(0x1, std::string(200, 'q')) + clientFrame(0x8, "");
  WebSocketFrameReader reader;
  std::string output;
  for (const char byte : bytes)
    reader.receive(std::string_view(&byte, 1), output);
  EXPECT_EQ(output, std::string("\x88\x00", 2));
}

} // namespace
} // namespace rest
