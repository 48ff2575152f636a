#include "rest/reply_framing.h"

#include "support/expected_replies.h"

#include <gtest/gtest.h>

namespace rest {
namespace {

using testing_support::REPLY_HEAD;

TEST(ReplyFraming, BodyIsOneChunkThenTheLastChunk) {
  std::string output;
  sendJsonReply(output, "{\"ret\":0}");
  EXPECT_EQ(output, REPLY_HEAD + "9\r\n{\"ret\":0}\r\n0\r\n\r\n");
}

TEST(ReplyFraming, ChunkSizeIsUpperCaseHexWithoutLeadingZeros) {
  std::string output;
  const std::string body(0xAB, 'x');
  sendJsonReply(output, body);
  EXPECT_EQ(output, REPLY_HEAD + "AB\r\n" + body + "\r\n0\r\n\r\n");

  output.clear();
  sendJsonReply(output, std::string(0x1F3C, 'y'));
  EXPECT_EQ(output.substr(REPLY_HEAD.size(), 6), "1F3C\r\n");
}

TEST(ReplyFraming, HeadRequestGetsTheHeadAlone) {
  std::string output;
  sendJsonReply(output, "{\"ret\":0}", ReplyBody::Omitted);
  EXPECT_EQ(output, REPLY_HEAD);
}

TEST(ReplyFraming, RepliesAppendInOrder) {
  std::string output;
  sendJsonReply(output, "{\"ret\":0}");
  sendJsonReply(output, "{\"ret\":0}");
  sendJsonReply(output, "{\"ret\":1}");
  sendJsonReply(output, "{\"ret\":1}", ReplyBody::Omitted);
  sendJsonReply(output, "{\"ret\":-1}");
  sendJsonReply(output, "{\"ret\":1}");
  EXPECT_EQ(output, REPLY_HEAD + "9\r\n{\"ret\":0}\r\n0\r\n\r\n" + REPLY_HEAD +
                        "9\r\n{\"ret\":0}\r\n0\r\n\r\n" + REPLY_HEAD +
                        "9\r\n{\"ret\":1}\r\n0\r\n\r\n" + REPLY_HEAD + REPLY_HEAD +
                        "A\r\n{\"ret\":-1}\r\n0\r\n\r\n" + REPLY_HEAD +
                        "9\r\n{\"ret\":1}\r\n0\r\n\r\n");
}

} // namespace
} // namespace rest
