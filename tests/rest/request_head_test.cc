#include "rest/request_head.h"

#include <gtest/gtest.h>

namespace rest {
namespace {

TEST(RequestHead, FindsTheBlankLineAfterTheHeaders) {
  const std::string request = "GET /a HTTP/1.1\r\nHost: x\r\n\r\nBODY";
  const HeadScan scan = scanRequestHead(request);
  ASSERT_EQ(scan.result, HeadScan::Complete);
  EXPECT_EQ(scan.length, request.size() - 4);
  EXPECT_FALSE(scan.bareLineFeeds);
}

TEST(RequestHead, IncompleteUntilTheBlankLineArrives) {
  EXPECT_EQ(scanRequestHead("GET /a HTTP/1.1\r\nHost: x\r\n").result, HeadScan::Incomplete);
  EXPECT_EQ(scanRequestHead("GET /a HTTP/1.1\r\nHost: x\r\n\r").result, HeadScan::Incomplete);
  EXPECT_EQ(scanRequestHead("").result, HeadScan::Incomplete);
}

TEST(RequestHead, LineFeedsAloneAreAcceptedAndRewritten) {
  const std::string request = "GET /a HTTP/1.0\nHost: x\n\n";
  const HeadScan scan = scanRequestHead(request);
  ASSERT_EQ(scan.result, HeadScan::Complete);
  EXPECT_EQ(scan.length, request.size());
  EXPECT_TRUE(scan.bareLineFeeds);
  EXPECT_EQ(withCrLfLineEnds(request), "GET /a HTTP/1.0\r\nHost: x\r\n\r\n");
  // A CR LF line followed by a lone LF blank line is still a bare line feed.
  EXPECT_TRUE(scanRequestHead("GET /a HTTP/1.1\r\n\n").bareLineFeeds);
}

TEST(RequestHead, ControlCharactersOtherThanCrLfAreRejected) {
  for (const char control : {'\0', '\t', '\x01', '\x1b', '\x7f'}) {
    std::string request = "GET /a HTTP/1.1\r\nX: a b\r\n\r\n";
    request[21] = control;
    EXPECT_EQ(scanRequestHead(request).result, HeadScan::Rejected) << int(control);
  }
  // Wherever it is in the head: the scan passes text several bytes at a time.
  const std::string head =
      "GET /abcdefghijklmnopqrstuvwxyz HTTP/1.1\r\nHost: 127.0.0.1:22001\r\n\r\n";
  for (std::size_t at = 0; at + 4 < head.size(); ++at) {
    if (head[at] == '\r' || head[at] == '\n')
      continue;
    for (const char control : {'\0', '\x1f', '\x7f'}) {
      std::string request = head;
      request[at] = control;
      EXPECT_EQ(scanRequestHead(request).result, HeadScan::Rejected) << at << ' ' << int(control);
    }
  }
  // Bytes above 127 are not control characters.
  EXPECT_EQ(scanRequestHead("GET /a HTTP/1.1\r\nX: \xc3\xa9\r\n\r\n").result, HeadScan::Complete);
}

TEST(RequestHead, AHeadOfExactlyTheLimitIsAcceptedOneMoreIsNot) {
  const std::string start = "GET /a HTTP/1.1\r\nX: ";
  std::string exact = start + std::string(MAX_REQUEST_HEAD - start.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(exact.size(), MAX_REQUEST_HEAD);
  EXPECT_EQ(scanRequestHead(exact).result, HeadScan::Complete);

  std::string over = start + std::string(MAX_REQUEST_HEAD - start.size() - 3, 'a') + "\r\n\r\n";
  EXPECT_EQ(scanRequestHead(over).result, HeadScan::Rejected);
  // Incomplete and already at the limit.
  EXPECT_EQ(scanRequestHead(std::string(MAX_REQUEST_HEAD, 'a')).result, HeadScan::Rejected);
  EXPECT_EQ(scanRequestHead(std::string(MAX_REQUEST_HEAD - 1, 'a')).result, HeadScan::Incomplete);
}

// A head arriving in pieces is judged exactly as the same head arriving whole, wherever the
// pieces end: inside CR LF CR LF, between a lone LF and the next, just before a control byte.
TEST(RequestHead, ScanningAsBytesArriveAgreesWithScanningTheWholeHead) {
  const std::string heads[] = {
      "GET /a HTTP/1.1\r\nHost: x\r\n\r\nBODY", "GET /a HTTP/1.0\nHost: x\n\nrest",
      "GET /a HTTP/1.1\r\nA: b\n\r\n",          "GET /a HTTP/1.1\r\n\n",
      "GET /a HTTP/1.1\r\nX: a\x01b\r\n\r\n",   "GET /a HTTP/1.1\r\nX: \r\r\n\r\n",
  };
  for (const std::string& whole : heads) {
    const HeadScan once = scanRequestHead(whole);
    for (std::size_t piece = 1; piece <= 4; ++piece) {
      RequestHeadScanner scanner;
      HeadScan scan;
      for (std::size_t end = piece; scan.result == HeadScan::Incomplete; end += piece)
        scan = scanner.scan(std::string_view(whole).substr(0, end));
      EXPECT_EQ(scan.result, once.result) << whole << " in pieces of " << piece;
      EXPECT_EQ(scan.length, once.length) << whole << " in pieces of " << piece;
      EXPECT_EQ(scan.bareLineFeeds, once.bareLineFeeds) << whole << " in pieces of " << piece;
    }
  }
}

} // namespace
} // namespace rest
