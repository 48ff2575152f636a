// What a client sees of a connection: exact paths, pipelining, keep-alive, the head limits,
// HEAD requests and WebSocket upgrades.
#include "e2e/service_fixture.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;

const std::string INFO = "GET /varuvezivuv/info HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

class Connection : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(client.connect(SERVICE_PORT));
  }
  // Sends `request` and expects the connection to close without a byte written.
  void expectClosedWithNothing(const std::string& request) {
    TcpClient fresh;
    ASSERT_TRUE(fresh.connect(SERVICE_PORT));
    fresh.send(request);
    EXPECT_EQ(fresh.readFor(scaled(milliseconds(3000))), "") << request.substr(0, 60);
    EXPECT_TRUE(fresh.peerClosed()) << request.substr(0, 60);
  }
  std::string readReplies(std::size_t count) {
    return client.read(count, scaled(milliseconds(3000)));
  }
  TcpClient client;
  const std::string noReader = framed("{\"ret\":-1}");
};

TEST_F(Connection, UnknownPathsWrongCaseAndTrailingSlashCloseWithNothingWritten) {
  for (const char* target :
       {"/varuvezivuv/info/", "/varuvezivuv/Info", "/varuvezivuv/", "/", "/favicon.ico",
        "/varuvezivuv/fingerprint/getimage", "/varuvezivuv/info%20"})
    expectClosedWithNothing("GET " + std::string(target) + " HTTP/1.1\r\n\r\n");
}

TEST_F(Connection, QueryStringsAreIgnoredByInfo) {
  EXPECT_EQ(httpGet("/varuvezivuv/info?type=2&FakeFunOn=0"), noReader);
  EXPECT_EQ(httpGet("/varuvezivuv/info?"), noReader);
}

TEST_F(Connection, PipelinedRequestsAreAnsweredInOrder) {
  const std::string image = framed("{\"ret\":-4, \"data\":{\"enroll_index\":0}}");
  const std::string cancel = framed("{\"ret\":0}");
  const std::string expected = noReader + image + cancel + noReader;
  client.send(INFO + "GET /varuvezivuv/fingerprint/getImage HTTP/1.1\r\n\r\n" +
              "GET /varuvezivuv/fingerprint/cancelCapture HTTP/1.1\r\n\r\n" + INFO);
  EXPECT_EQ(readReplies(expected.size()), expected);
  // Now that the client has come back, more than a returning client's first read takes: a
  // long head, then two more.
  client.send("GET /varuvezivuv/info HTTP/1.1\r\nX-Pad: " + std::string(6000, 'p') + "\r\n\r\n" +
              INFO + INFO);
  EXPECT_EQ(readReplies(3 * noReader.size()), noReader + noReader + noReader);
  // And an unknown path still ends it, after the replies before it.
  client.send(INFO + "GET /varuvezivuv/nothing HTTP/1.1\r\n\r\n" + INFO);
  EXPECT_EQ(readReplies(noReader.size()), noReader);
  EXPECT_EQ(client.readFor(scaled(milliseconds(1000))), "");
  EXPECT_TRUE(client.peerClosed());
}

TEST_F(Connection, HttpOneZeroAndConnectionCloseKeepTheConnectionOpen) {
  client.send("GET /varuvezivuv/info HTTP/1.0\r\n\r\n");
  EXPECT_EQ(readReplies(noReader.size()), noReader);
  client.send("GET /varuvezivuv/info HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(readReplies(noReader.size()), noReader);
  client.send(INFO);
  EXPECT_EQ(readReplies(noReader.size()), noReader);
  EXPECT_FALSE(client.peerClosed());
}

TEST_F(Connection, RequestWithoutLengthIsAnsweredWithoutWaitingForTheClientToClose) {
  client.send("POST /varuvezivuv/info HTTP/1.1\r\n\r\n");
  EXPECT_EQ(readReplies(noReader.size()), noReader);
  client.send("POST /varuvezivuv/info HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc" + INFO);
  EXPECT_EQ(readReplies(2 * noReader.size()), noReader + noReader);
}

TEST_F(Connection, HeadLongerThanEightKibibytesClosesWithoutReply) {
  const std::string start = "GET /varuvezivuv/info HTTP/1.1\r\nX-Pad: ";
  const std::string fits = start + std::string(8192 - start.size() - 4, 'p') + "\r\n\r\n";
  client.send(fits);
  EXPECT_EQ(readReplies(noReader.size()), noReader);
  // Incomplete at 8192 bytes.
  expectClosedWithNothing(start + std::string(8192, 'p'));
}

TEST_F(Connection, ControlCharacterInTheHeadClosesWithoutReply) {
  expectClosedWithNothing("GET /varuvezivuv/info HTTP/1.1\r\nX-A: 1\x01\r\n\r\n");
  expectClosedWithNothing("GET /varuvezivuv/info HTTP/1.1\r\nX-A:\t1\r\n\r\n");
}

TEST_F(Connection, HeadRequestGetsHeadersOnlyAndLeavesTheTemplate) {
  client.send("HEAD /varuvezivuv/info HTTP/1.1\r\n\r\n" + INFO);
  EXPECT_EQ(readReplies(REPLY_HEAD.size() + noReader.size()), REPLY_HEAD + noReader);

  ASSERT_EQ(get("/varuvezivuv/fingerprint/beginCapture?type=2").substr(0, 9), "{\"ret\":0,");
  ASSERT_EQ(sim("press 1"), "ok");
  ASSERT_EQ(waitForImage("{\"ret\":0, \"data\":{\"enroll_index\":1}}"),
            "{\"ret\":0, \"data\":{\"enroll_index\":1}}");
  client.send("HEAD /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n");
  EXPECT_EQ(readReplies(REPLY_HEAD.size()), REPLY_HEAD);
  EXPECT_EQ(get("/varuvezivuv/fingerprint/getTemplate").substr(0, 30),
            "{\"ret\":0, \"data\":{\"template\":\"");
}

TEST_F(Connection, WebSocketKeyGetsTheHandshakeAndCloseEndsTheConnection) {
  const std::string upgrade =
      "GET /varuvezivuv/info HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  const std::string handshake =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
  client.send(upgrade);
  EXPECT_EQ(readReplies(handshake.size()), handshake);
  // A masked text frame "hi" is ignored and the connection stays.
  client.send(std::string("\x81\x82\x01\x02\x03\x04", 6) + std::string("\x69\x6b", 2));
  EXPECT_EQ(client.readFor(scaled(milliseconds(300))), "");
  EXPECT_FALSE(client.peerClosed());
  // A masked close frame with code 1000 is answered, and the service then closes its side
  // without waiting for the client to.
  client.send(std::string("\x88\x82\x00\x00\x00\x00\x03\xE8", 8));
  EXPECT_EQ(readReplies(4), std::string("\x88\x02\x03\xE8", 4));
  EXPECT_EQ(client.readFor(scaled(milliseconds(1000))), "");
  EXPECT_TRUE(client.peerClosed());

  // A frame that breaks the protocol gets close 1002, text that is not UTF-8 close 1007; then
  // the service closes the connection.
  const std::string protocolError("\x88\x02\x03\xEA", 4);
  const std::string invalidText("\x88\x02\x03\xEF", 4);
  const struct {
    std::string frames;
    const std::string& reply;
  } misuses[] = {
      {std::string("\x81\x02hi", 4), protocolError},                          // unmasked
      {std::string("\x80\x80\0\0\0\0", 6), protocolError},                    // no message begun
      {std::string("\x88\x81\0\0\0\0\x03", 7), protocolError},                // 1-byte close
      {std::string("\x88\x82\0\0\0\0\x03\xEE", 8), protocolError},            // status 1006
      {std::string("\x82\xFF\xFF\0\0\0\0\0\0\0\0\0\0\0", 14), protocolError}, // length
      {std::string("\x81\x81\0\0\0\0\xFF", 7), invalidText},
  };
  for (const auto& [frames, reply] : misuses) {
    TcpClient misbehaving;
    ASSERT_TRUE(misbehaving.connect(SERVICE_PORT));
    misbehaving.send(upgrade + frames);
    EXPECT_EQ(misbehaving.readFor(scaled(milliseconds(1000))), handshake + reply)
        << testing::PrintToString(frames);
    EXPECT_TRUE(misbehaving.peerClosed());
  }
}

TEST_F(Connection, ClientThatStopsSendingDoesNotHoldUpOthers) {
  client.send("GET /varuvezivuv/info HTTP/1.1\r\nHost: 127.");
  EXPECT_EQ(httpGet("/varuvezivuv/info"), noReader);
  client.send("0.0.1\r\n\r\n");
  EXPECT_EQ(readReplies(noReader.size()), noReader);
}

} // namespace
} // namespace e2e
