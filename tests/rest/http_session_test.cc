// The whole request path from raw bytes to reply bytes, without a socket.
#include "rest/http_session.h"

#include "capture/capture_state.h"
#include "rest/reply_framing.h"
#include "rest/request_head.h"
#include "support/expected_replies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace rest {
namespace {

using testing_support::framed;
using testing_support::progressReply;
using testing_support::REPLY_HEAD;

const std::string NOT_READY = framed(progressReply(-4, 0));
const std::string NO_READER = framed("{\"ret\":-1}");

void publishTemplate(const char* text) {
  capture::CaptureState::Progress& progress = capture::captureState().progress;
  platform::MutexLock lock(progress.mutex);
  progress.reset();
  std::strncpy(progress.templateText, text, capture::TEMPLATE_TEXT_SIZE - 1);
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MutexLock lock(capture::captureState().progress.mutex);
    capture::captureState().progress.reset();
  }
  // Feeds `input` in pieces of `pieceSize` bytes; returns what was written back.
  std::string exchange(const std::string& input, std::size_t pieceSize = 1 << 20) {
    std::string output;
    for (std::size_t at = 0; at < input.size(); at += pieceSize)
      next = session.receive(std::string_view(input).substr(at, pieceSize), output);
    return output;
  }
  HttpSession session;
  HttpSession::Next next = HttpSession::Next::Read;
};

TEST_F(Session, EachRouteAnswersAndTheConnectionStays) {
  EXPECT_EQ(exchange("GET /varuvezivuv/info HTTP/1.1\r\nHost: x\r\n\r\n"), NO_READER);
  EXPECT_EQ(exchange("GET /varuvezivuv/fingerprint/getImage HTTP/1.1\r\n\r\n"), NOT_READY);
  EXPECT_EQ(exchange("GET /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n"),
            framed("{\"ret\":-4}"));
  EXPECT_EQ(exchange("GET /varuvezivuv/fingerprint/cancelCapture HTTP/1.1\r\n\r\n"),
            framed("{\"ret\":0}"));
  EXPECT_EQ(next, HttpSession::Next::Read);
}

TEST_F(Session, PathsMatchExactlyAndOthersCloseWithNothingWritten) {
  for (const char* target : {"/varuvezivuv/info/", "/varuvezivuv/Info", "/varuvezivuv/inf",
                             "/varuvezivuv/infox", "/", "/varuvezivuv/fingerprint/GetImage",
                             "/varuvezivuv/%69nfo", "http://127.0.0.1/varuvezivuv/info"}) {
    HttpSession fresh;
    std::string output;
    const auto verdict = fresh.receive("GET " + std::string(target) + " HTTP/1.1\r\n\r\n", output);
    EXPECT_EQ(verdict, HttpSession::Next::Close) << target;
    EXPECT_EQ(output, "") << target;
  }
}

TEST_F(Session, QueryStringsAreNotPartOfThePath) {
  EXPECT_EQ(exchange("GET /varuvezivuv/info?x=1&type=2 HTTP/1.1\r\n\r\n"), NO_READER);
  EXPECT_EQ(exchange("GET /varuvezivuv/info? HTTP/1.1\r\n\r\n"), NO_READER);
}

TEST_F(Session, AnyMethodGetsTheSameReply) {
  for (const char* method : {"GET", "POST", "OPTIONS", "PUT", "DELETE", "BREW"})
    EXPECT_EQ(exchange(std::string(method) + " /varuvezivuv/info HTTP/1.1\r\n\r\n"), NO_READER)
        << method;
}

TEST_F(Session, PipelinedRequestsAreAnsweredInOrderWhateverTheReadSizes) {
  const std::string requests = "GET /varuvezivuv/info HTTP/1.1\r\n\r\n"
                               "POST /varuvezivuv/fingerprint/getImage HTTP/1.1\r\n"
                               "Content-Length: 5\r\n\r\nhello"
                               "GET /varuvezivuv/fingerprint/cancelCapture HTTP/1.0\r\n\r\n"
                               // Its head rewritten to CR LF, its body in a later read.
                               "POST /varuvezivuv/fingerprint/cancelCapture HTTP/1.1\n"
                               "Content-Length: 3\n\nabc";
  const std::string expected =
      NO_READER + NOT_READY + framed("{\"ret\":0}") + framed("{\"ret\":0}");
  for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(64), requests.size()}) {
    HttpSession fresh;
    std::string output;
    for (std::size_t at = 0; at < requests.size(); at += piece)
      fresh.receive(std::string_view(requests).substr(at, piece), output);
    EXPECT_EQ(output, expected) << "pieces of " << piece;
  }
}

TEST_F(Session, BodiesAreSkippedWithoutDesynchronising) {
  // A chunked body, and a Content-Length after many other headers.
  std::string manyHeaders;
  for (int i = 0; i < 60; ++i)
    manyHeaders += "X-Filler-" + std::to_string(i) + ": value\r\n";
  const std::string requests =
      "POST /varuvezivuv/info HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n3;ext=1\r\nabc\r\n0\r\n\r\n"
      "POST /varuvezivuv/info HTTP/1.1\r\n" +
      manyHeaders +
      "Content-Length: 43\r\n\r\nGET /varuvezivuv/nothing HTTP/1.1\r\n\r\nxxxxxx"
      "GET /varuvezivuv/fingerprint/getImage HTTP/1.1\r\n\r\n";
  EXPECT_EQ(exchange(requests, 5), NO_READER + NO_READER + NOT_READY);
  EXPECT_EQ(next, HttpSession::Next::Read);
}

TEST_F(Session, ARequestWithoutBodyIsAnsweredAtOnce) {
  // No Content-Length, no chunked body: nothing is waited for.
  EXPECT_EQ(exchange("POST /varuvezivuv/info HTTP/1.1\r\n\r\n"), NO_READER);
  EXPECT_EQ(exchange("PUT /varuvezivuv/info HTTP/1.0\r\n\r\n"), NO_READER);
}

TEST_F(Session, IncompleteBodyWaitsForTheRest) {
  EXPECT_EQ(exchange("POST /varuvezivuv/info HTTP/1.1\r\nContent-Length: 4\r\n\r\nab"), "");
  EXPECT_EQ(exchange("cd"), NO_READER);
}

TEST_F(Session, WhatIsPendingBetweenReadsIsNothingAHeadOrABody) {
  EXPECT_EQ(session.pending(), HttpSession::Pending::Nothing);
  exchange("GET /varuvezivuv/info HTTP/1.1\r\n");
  EXPECT_EQ(session.pending(), HttpSession::Pending::Head);
  exchange("\r\nPOST /varuvezivuv/info HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
  EXPECT_EQ(session.pending(), HttpSession::Pending::Body);
  EXPECT_EQ(session.requests(), 1u);
  exchange("cd");
  EXPECT_EQ(session.pending(), HttpSession::Pending::Nothing);
  EXPECT_EQ(session.requests(), 2u);
}

TEST_F(Session, TheTemplateIsHandedOverOnceAndNeverToAHeadRequest) {
  publishTemplate("QUJD");
  EXPECT_EQ(exchange("HEAD /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n"), REPLY_HEAD);
  EXPECT_EQ(exchange("GET /varuvezivuv/fingerprint/getImage HTTP/1.1\r\n\r\n"),
            framed(progressReply(0, 1)));
  EXPECT_EQ(exchange("GET /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n"
                     "GET /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n"),
            framed("{\"ret\":0, \"data\":{\"template\":\"QUJD\"}}") + framed("{\"ret\":-4}"));
}

// A preflight of a known path is answered for the browser and takes nothing; its requested
// headers are echoed only when they are a plain list. Unknown paths close as always.
TEST_F(Session, APreflightIsAnsweredWithoutReachingTheOperation) {
  publishTemplate("QUJD");
  const std::string preflight = "OPTIONS /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n"
                                "Origin: https://a.example\r\n"
                                "Access-Control-Request-Method: GET\r\n";
  const std::string end = "\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(exchange(preflight + "Access-Control-Request-Headers: x-requested-with\r\n\r\n"),
            std::string(PREFLIGHT_REPLY_START) + "x-requested-with" +
                "\r\nAccess-Control-Max-Age: 7200" + end);
  EXPECT_EQ(exchange(preflight + "Access-Control-Request-Headers: a\"b\r\n\r\n"),
            std::string(PREFLIGHT_REPLY_START) + "*\r\nAccess-Control-Max-Age: 7200" + end);
  EXPECT_EQ(exchange("GET /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n"),
            framed("{\"ret\":0, \"data\":{\"template\":\"QUJD\"}}"));
  EXPECT_EQ(next, HttpSession::Next::Read);
  EXPECT_EQ(exchange("OPTIONS /varuvezivuv/nothing HTTP/1.1\r\n"
                     "Access-Control-Request-Method: GET\r\n\r\n"),
            "");
  EXPECT_EQ(next, HttpSession::Next::Close);
}

TEST_F(Session, HeadRequestsGetTheHeadAlone) {
  EXPECT_EQ(exchange("HEAD /varuvezivuv/info HTTP/1.1\r\n\r\n"
                     "GET /varuvezivuv/info HTTP/1.1\r\n\r\n"),
            REPLY_HEAD + NO_READER);
}

TEST_F(Session, EarlierRepliesAreKeptWhenALaterRequestCloses) {
  EXPECT_EQ(exchange("GET /varuvezivuv/info HTTP/1.1\r\n\r\n"
                     "GET /unknown HTTP/1.1\r\n\r\n"
                     "GET /varuvezivuv/info HTTP/1.1\r\n\r\n"),
            NO_READER);
  EXPECT_EQ(next, HttpSession::Next::Close);
  EXPECT_EQ(exchange("GET /varuvezivuv/info HTTP/1.1\r\n\r\n"), "");
}

TEST_F(Session, MalformedHeadsClose) {
  for (const std::string& request :
       {std::string("GET /varuvezivuv/info HTTP/1.1\r\nX: a\tb\r\n\r\n"),
        std::string("GET /varuvezivuv/info HTTP/1.1\r\nX: a\0b\r\n\r\n", 41),
        std::string("GET /varuvezivuv/info\r\n\r\n"), std::string("GET\r\n\r\n"),
        std::string("GET /varuvezivuv/info HTTP/1.1\r\nContent-Length: x\r\n\r\n"),
        std::string("GET /varuvezivuv/info HTTP/1.1\r\nBad Header: 1\r\n\r\n"),
        std::string("GET /varuvezivuv/info HTTP/1.1\r\n") + std::string(8200, 'h')}) {
    HttpSession fresh;
    std::string output;
    EXPECT_EQ(fresh.receive(request, output), HttpSession::Next::Close) << request.substr(0, 60);
    EXPECT_EQ(output, "");
  }
}

TEST_F(Session, HeadLimitIsEightKibibytes) {
  const std::string start = "GET /varuvezivuv/info HTTP/1.1\r\nX: ";
  const std::string exact =
      start + std::string(MAX_REQUEST_HEAD - start.size() - 4, 'a') + "\r\n\r\n";
  EXPECT_EQ(exchange(exact, 1000), NO_READER);
  EXPECT_EQ(exchange("GET /varuvezivuv/info HTTP/1.1\r\nX: " + std::string(MAX_REQUEST_HEAD, 'a'),
                     1000),
            "");
  EXPECT_EQ(next, HttpSession::Next::Close);
}

// A client trickling a long head a byte at a time costs about as much as one sending it whole:
// a session that rescanned the head from its start on every byte would check some 33 million
// bytes per head here, about 1.3 thousand million for these forty.
TEST_F(Session, AHeadTrickledAByteAtATimeIsNotRescannedFromItsStart) {
  const std::string start = "GET /varuvezivuv/info HTTP/1.1\r\nX: ";
  const std::string longHead =
      start + std::string(MAX_REQUEST_HEAD - start.size() - 4, 'a') + "\r\n\r\n";
  const auto began = std::chrono::steady_clock::now();
  for (int client = 0; client < 40; ++client)
    EXPECT_EQ(exchange(longHead, 1), NO_READER);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(500));
}

TEST_F(Session, LineFeedsAloneStillMakeARequest) {
  EXPECT_EQ(exchange("GET /varuvezivuv/info HTTP/1.0\n\n"), NO_READER);
}

// The head limit counts the bytes received: a head under it whose lines end in LF alone is
// answered, although writing each of its line ends as CR LF would take it over the limit.
TEST_F(Session, TheHeadLimitCountsBareLineFeedsAsSent) {
  std::string head = "GET /varuvezivuv/info HTTP/1.1\n";
  for (int line = 0; line < 1098; ++line)
    head += "X:1234\n";
  head += "\n";
  head.insert(head.find("X:") + 2, 7722 - head.size(), 'x');
  ASSERT_EQ(head.size(), 7722u);
  ASSERT_EQ(std::count(head.begin(), head.end(), '\n'), 1100);
  EXPECT_EQ(exchange(head), NO_READER);
  EXPECT_EQ(next, HttpSession::Next::Read);
}

// A head arriving whole and one arriving a byte at a time are answered alike, whatever its
// form.
TEST_F(Session, HeadsAreAnsweredAlikeWholeOrInPieces) {
  std::vector<std::string> requests = {
      std::string("HEAD /varuvezivuv/info HTTP/1.1\r\nHost: x\r\n\r\n"),
      std::string("head /varuvezivuv/info HTTP/1.1\r\n\r\n"),
      std::string("GET /varuvezivuv/info?\xc3\xa9 HTTP/1.0\r\nX:\r\nY:  v \xff \r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.2\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1 \r\n\r\n"),
      std::string("GET  /varuvezivuv/info HTTP/1.1\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nX: a\r\n folded\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nX: a\rb\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nX : a\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\n: a\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nconnection: a b\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nCONTENT-LENGTH: 2\r\n\r\nab"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nupgrade: x\r\n\r\n"),
      std::string("GET /varuvezivuv/info HTTP/1.1\r\nSec-WebSocket-Key: k\r\n\r\n"),
  };
  // A byte that ends a target's or a value's run, at every place of the blocks a scan reads,
  // last or not.
  for (std::size_t at = 0; at < 40; ++at) {
    for (const char end : {'\x7f', '\x1f', '\0', ' '}) {
      for (const std::string_view after : {"", "qq"}) {
        const std::string run = std::string(at, 'q') + end + std::string(after);
        requests.push_back("GET /varuvezivuv/info?" + run + " HTTP/1.1\r\n\r\n");
        requests.push_back("GET /varuvezivuv/info HTTP/1.1\r\nX: " + run + "\r\n\r\n");
      }
    }
  }
  for (const std::string& request : requests) {
    HttpSession whole;
    std::string wholeOutput;
    const HttpSession::Next wholeNext = whole.receive(request, wholeOutput);
    HttpSession pieces;
    std::string piecesOutput;
    HttpSession::Next piecesNext = HttpSession::Next::Read;
    for (const char byte : request)
      piecesNext = pieces.receive(std::string_view(&byte, 1), piecesOutput);
    EXPECT_EQ(wholeOutput, piecesOutput) << request;
    EXPECT_EQ(wholeNext, piecesNext) << request;
  }
}

TEST_F(Session, EmptyLinesBeforeARequestLineAreIgnored) {
  const std::string info = "GET /varuvezivuv/info HTTP/1.1\r\n\r\n";
  EXPECT_EQ(exchange("\r\n" + info + "\r\n\r\n\n" + info), NO_READER + NO_READER);
  // Also when the empty line arrives split from what follows it.
  EXPECT_EQ(exchange("\r\n" + info, 1), NO_READER);
  // A body's extra CR LF does not become the start of the next request.
  EXPECT_EQ(exchange("POST /varuvezivuv/info HTTP/1.1\r\nContent-Length: 2\r\n\r\nab\r\n" + info),
            NO_READER + NO_READER);
  EXPECT_EQ(next, HttpSession::Next::Read);
}

TEST_F(Session, WebSocketKeyOnAnyPathGetsTheHandshakeAndNoRouting) {
  publishTemplate("QUJD");
  const std::string handshake =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
  const std::string request = "GET /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n";
  EXPECT_EQ(exchange(request + "sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"), handshake);
  EXPECT_TRUE(session.isWebSocket());
  EXPECT_EQ(next, HttpSession::Next::Read);
  // A request after the upgrade is read as an unmasked frame with RSV1 set: a protocol error,
  // answered with close 1002, and the connection closes.
  EXPECT_EQ(exchange(request + "\r\n"), std::string("\x88\x02\x03\xEA", 4));
  EXPECT_EQ(next, HttpSession::Next::Close);
  EXPECT_EQ(exchange(std::string("\x89\x80\0\0\0\0", 6)), "");
  // The template was neither handed over nor lost.
  platform::MutexLock lock(capture::captureState().progress.mutex);
  EXPECT_STREQ(capture::captureState().progress.templateText, "QUJD");
}

TEST_F(Session, WebSocketCloseFrameIsAnsweredAndClosesTheConnection) {
  exchange("GET / HTTP/1.1\r\nSec-WebSocket-Key: x\r\n\r\n");
  // A masked ping, then a masked close with status 1000.
  EXPECT_EQ(exchange(std::string("\x89\x80\0\0\0\0\x88\x82\0\0\0\0\x03\xE8", 14)),
            std::string("\x8A\x00\x88\x02\x03\xE8", 6));
  EXPECT_EQ(next, HttpSession::Next::Close);
}

TEST_F(Session, WebSocketMisuseIsAnsweredWithACloseStatusAndEndsTheConnection) {
  const std::string upgrade = "GET / HTTP/1.1\r\nSec-WebSocket-Key: x\r\n\r\n";
  const std::string ping("\x89\x80\0\0\0\0", 6);
  const struct {
    std::string frames;
    std::string reply;
  } cases[] = {
      {std::string("\x80\x81\0\0\0\0x", 7), "\x03\xEA"},            // continuation first: 1002
      {std::string("\x88\x82\0\0\0\0\x03\xED", 8), "\x03\xEA"},     // status 1005: 1002
      {std::string("\x88\x83\0\0\0\0\x03\xE8\xFF", 9), "\x03\xEF"}, // reason not UTF-8: 1007
      {std::string("\x81\x82\0\0\0\0\xC3\x28", 8), "\x03\xEF"},     // text not UTF-8: 1007
  };
  for (const auto& [frames, reply] : cases)
    for (const std::size_t pieceSize : {std::size_t{1}, frames.size()}) {
      HttpSession webSocket;
      std::string output;
      webSocket.receive(upgrade, output);
      output.clear();
      HttpSession::Next after = HttpSession::Next::Read;
      for (std::size_t at = 0; at < frames.size(); at += pieceSize)
        after = webSocket.receive(std::string_view(frames).substr(at, pieceSize), output);
      EXPECT_EQ(output, "\x88\x02" + reply) << testing::PrintToString(frames);
      EXPECT_EQ(after, HttpSession::Next::Close);
      // Nothing more is read: a ping gets no pong.
      output.clear();
      EXPECT_EQ(webSocket.receive(ping, output), HttpSession::Next::Close);
      EXPECT_EQ(output, "");
    }
}

TEST_F(Session, UnknownPathWithWebSocketKeyStillGetsTheHandshake) {
  EXPECT_EQ(exchange("GET /nowhere HTTP/1.1\r\nSec-WebSocket-Key: x\r\n\r\n").substr(0, 34),
            "HTTP/1.1 101 Switching Protocols\r\n");
  EXPECT_EQ(next, HttpSession::Next::Read);
}

} // namespace
} // namespace rest
