#include "rest/websocket.h"

#include <gtest/gtest.h>

namespace rest {
namespace {

const std::string CLOSE_PROTOCOL_ERROR("\x88\x02\x03\xEA", 4); // status 1002
const std::string CLOSE_INVALID_TEXT("\x88\x02\x03\xEF", 4);   // status 1007

// A close frame's payload: the status, big-endian, then the reason.
std::string closePayload(std::uint16_t status, const std::string& reason = "") {
  return std::string{static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)} + reason;
}

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
        clientFrame(0x9, "p", 0x00), clientFrame(0x8, "", 0x00), clientFrame(0x8, "\x03"),
        clientFrame(0x8, closePayload(0)), clientFrame(0x8, closePayload(999)),
        clientFrame(0x8, closePayload(1004)), clientFrame(0x8, closePayload(1005, "r")),
        clientFrame(0x8, closePayload(1006)), clientFrame(0x8, closePayload(1015)),
        clientFrame(0x8, closePayload(1016)), clientFrame(0x8, closePayload(2999)),
        clientFrame(0x8, closePayload(5000)), clientFrame(0x8, closePayload(0xFFFF)),
        // A continuation with no message begun; a new message while one is unfinished.
        clientFrame(0x0, "x"), clientFrame(0x0, ""),
        clientFrame(0x1, "a", 0x00) + clientFrame(0x1, "b"),
        clientFrame(0x2, "a", 0x00) + clientFrame(0x0, "b", 0x00) + clientFrame(0x2, ""),
        // A 64-bit length with its most significant bit set.
        std::string("\x82\xFF\x80\0\0\0\0\0\0\x01\x11\x22\x33\x44", 14)}) {
    WebSocketFrameReader reader;
    std::string output;
    // Whatever follows the broken frame is not read: the ping gets no pong.
    reader.receive(clientFrame(0x1, "ok") + frame + clientFrame(0x9, "late"), output);
    EXPECT_EQ(output, CLOSE_PROTOCOL_ERROR) << testing::PrintToString(frame);
    EXPECT_TRUE(reader.closed());
  }
}

TEST(WebSocket, TextThatIsNotUtf8IsClosedWith1007) {
  for (const std::string& frames :
       {clientFrame(0x1, "\xFF"), clientFrame(0x1, "ok\xC0\xAF"),           // overlong '/'
        clientFrame(0x1, "\xE0\x9F\xBF"), clientFrame(0x1, "\xED\xA0\x80"), // surrogate
        clientFrame(0x1, "\xF4\x90\x80\x80"), clientFrame(0x1, "\x80"),     // above U+10FFFF
        clientFrame(0x1, "\xE2\x82"),                                       // cut at the end
        clientFrame(0x1, "\xE2", 0x00) + clientFrame(0x0, "\x82") + clientFrame(0x0, ""),
        clientFrame(0x1, "\xE2", 0x00) + clientFrame(0x0, "\x41"),
        clientFrame(0x8, closePayload(1000, "\xFF")),
        clientFrame(0x8, closePayload(1000, "bye \xE2\x82"))}) {
    WebSocketFrameReader reader;
    std::string output;
    reader.receive(frames + clientFrame(0x9, "late"), output);
    EXPECT_EQ(output, CLOSE_INVALID_TEXT) << testing::PrintToString(frames);
    EXPECT_TRUE(reader.closed());
  }
}

TEST(WebSocket, FragmentsAndTheLongestControlFramesAreWithinTheProtocol) {
  WebSocketFrameReader reader;
  std::string output;
  // Characters split across fragments, a ping between them; binary is never read as text.
  reader.receive(clientFrame(0x1, "frag\xE2", 0x00) + clientFrame(0x9, "") +
                     clientFrame(0x0, "\x82\xAC\xF0\x9F", 0x00) +
                     clientFrame(0x0, "\x98\x80\xF4\x8F\xBF\xBF") + clientFrame(0x1, "") +
                     clientFrame(0x2, "\xFF\xC0", 0x00) + clientFrame(0x0, "\xE2") +
                     clientFrame(0x9, std::string(125, 'p')),
                 output);
  EXPECT_EQ(output, "\x8A" + std::string(1, '\0') + "\x8A\x7D" + std::string(125, 'p'));
  EXPECT_FALSE(reader.closed());
}

TEST(WebSocket, EveryStatusAClientMaySendIsEchoed) {
  for (const std::uint16_t status : {1000, 1001, 1003, 1007, 1011, 1014, 3000, 4999}) {
    WebSocketFrameReader reader;
    std::string output;
    reader.receive(clientFrame(0x8, closePayload(status, "d\xC3\xA9j\xC3\xA0 vu")), output);
    EXPECT_EQ(output, "\x88\x02" + closePayload(status)) << status;
  }
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
