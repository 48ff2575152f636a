#include "rest/reply_framing.h"

#include <gtest/gtest.h>

namespace rest {
namespace {

const std::string HEAD =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(ReplyFraming, BodyIsOneChunkThenTheLastChunk) {
  std::string output;
  sendJsonReply(output, "{\"ret\":0}");
  EXPECT_EQ(output, HEAD + "9\r\n{\"ret\":0}\r\n0\r\n\r\n");
}

TEST(ReplyFraming, ChunkSizeIsUpperCaseHexWithoutLeadingZeros) {
  std::string output;
  const std::string body(0xAB, 'x');
  sendJsonReply(output, body);
  EXPECT_EQ(output, HEAD + "AB\r\n" + body + "\r\n0\r\n\r\n");

  output.clear();
  sendJsonReply(output, std::string(0x1F3C, 'y'));
  EXPECT_EQ(output.substr(HEAD.size(), 6), "1F3C\r\n");
}

TEST(ReplyFraming, HeadRequestGetsTheHeadAlone) {
  std::string output;
  sendJsonReply(output, "{\"ret\":0}", ReplyBody::Omitted);
  EXPECT_EQ(output, HEAD);
}

TEST(ReplyFraming, RepliesAppendInOrder) {
  std::string output;
  sendJsonReply(output, "{\"ret\":0}");
  sendJsonReply(output, "{\"ret\":-1}");
  EXPECT_EQ(output, HEAD + "9\r\n{\"ret\":0}\r\n0\r\n\r\n" + HEAD + "A\r\n{\"ret\":-1}\r\n0\r\n\r\n");
}

} // namespace
} // namespace rest
