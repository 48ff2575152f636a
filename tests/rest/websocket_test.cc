#include "rest/websocket.h"

#include <gtest/gtest.h>

namespace rest {
namespace {

const std::string CLOSE_PROTOCOL_ERROR("\x88\x02\x03\xEA", 4); // status 1002

// A client frame: FIN and RSV bits as given, the opcode, masked with a fixed key.
std::string clientFrame(std::uint8_t opcode, const std::string& payload,
                        std::uint8_t finAndRsv = 0x80) {
  const std::uint8_t mask[4] = {0x11, 0x22, 0x33, 0x44};
  std::string frame;
  frame.push_back(static_cast<char>(finAndRsv | opcode));
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

  EXPECT_FALSE(reader.closed());

  output.clear();
  reader.receive(clientFrame(0x8, std::string("\x03\xE8", 2) + "bye"), output);
  EXPECT_EQ(output, std::string("\x88\x02\x03\xE8", 4));
  EXPECT_TRUE(reader.closed());

  output.clear();
  reader.receive(clientFrame(0x9, "late"), output);
  EXPECT_EQ(output, "");
}

TEST(WebSocket, FramesThatBreakTheProtocolAreClosedWith1002) {
  const std::string unmaskedText("\x81\x02hi", 4);
  for (const std::string& frame :
       {unmaskedText, clientFrame(0x1, "x", 0xC0), clientFrame(0x2, "x", 0x90),
        clientFrame(0x1, "x", 0xA0), clientFrame(0x3, "x"), clientFrame(0x7, ""),
        clientFrame(0xB, "x"), clientFrame(0xF, ""), clientFrame(0x9, std::string(126, 'p')),
        clientFrame(0x9, "p", 0x00), clientFrame(0x8, "", 0x00)}) {
    WebSocketFrameReader reader;
    std::string output;
    // Whatever follows the broken frame is not read: the ping gets no pong.
    reader.receive(clientFrame(0x1, "ok") + frame + clientFrame(0x9, "late"), output);
    EXPECT_EQ(output, CLOSE_PROTOCOL_ERROR) << testing::PrintToString(frame);
    EXPECT_TRUE(reader.closed());
  }
}

TEST(WebSocket, FragmentsAndTheLongestControlFramesAreWithinTheProtocol) {
  WebSocketFrameReader reader;
  std::string output;
  reader.receive(clientFrame(0x1, "frag", 0x00) + clientFrame(0x0, "ment", 0x00) +
                     clientFrame(0x0, "s") + clientFrame(0x9, std::string(125, 'p')),
                 output);
  EXPECT_EQ(output, "\x8A\x7D" + std::string(125, 'p'));
  EXPECT_FALSE(reader.closed());
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
