#include "capture/capture_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace capture {
namespace {

// The reply an operation writes, into a buffer that held another reply before.
std::string replyOf(void (*operation)(std::string&)) {
  std::string reply = "{\"ret\":0, \"data\":{\"a reply of before, longer than any status reply\"}}";
  operation(reply);
  return reply;
}

class StatusReplies : public ::testing::Test {
 protected:
  static CaptureState::Progress& progress() { return captureState().progress; }
  void SetUp() override {
    platform::MutexLock lock(progress().mutex);
    progress().reset();
  }
  void setProgress(std::int32_t enrollIndex, const char* text) {
    platform::MutexLock lock(progress().mutex);
    progress().enrollIndex = enrollIndex;
    std::memset(progress().templateText, 0, sizeof progress().templateText);
    std::strncpy(progress().templateText, text, sizeof progress().templateText - 1);
    progress().showChanges();
  }
};

TEST_F(StatusReplies, FreshServiceHasNoReaderAndNothingReady) {
  EXPECT_EQ(replyOf(info), "{\"ret\":-1}");
  EXPECT_EQ(replyOf(getImage), "{\"ret\":-4, \"data\":{\"enroll_index\":0}}");
  EXPECT_EQ(replyOf(getTemplate), "{\"ret\":-4}");
}

TEST_F(StatusReplies, EnrolmentProgressShowsWhileNothingIsReady) {
  setProgress(2, "");
  EXPECT_EQ(replyOf(getImage), "{\"ret\":-4, \"data\":{\"enroll_index\":2}}");
  EXPECT_EQ(replyOf(getTemplate), "{\"ret\":-4}");
  EXPECT_EQ(replyOf(getImage), "{\"ret\":-4, \"data\":{\"enroll_index\":2}}");
}

TEST_F(StatusReplies, SingleTemplateCountsAsOnePressAndIsHandedOverOnce) {
  setProgress(0, "AAEC");
  EXPECT_EQ(replyOf(getImage), "{\"ret\":0, \"data\":{\"enroll_index\":1}}");
  EXPECT_EQ(replyOf(getTemplate), "{\"ret\":0, \"data\":{\"template\":\"AAEC\"}}");
  EXPECT_EQ(replyOf(getTemplate), "{\"ret\":-4}");
  EXPECT_EQ(replyOf(getImage), "{\"ret\":-4, \"data\":{\"enroll_index\":0}}");
}

TEST_F(StatusReplies, EnrolledTemplateResetsProgressWhenFetched) {
  setProgress(3, "TUVSR0VE");
  EXPECT_EQ(replyOf(getImage), "{\"ret\":0, \"data\":{\"enroll_index\":3}}");
  EXPECT_EQ(replyOf(getTemplate), "{\"ret\":0, \"data\":{\"template\":\"TUVSR0VE\"}}");
  platform::MutexLock lock(progress().mutex);
  EXPECT_EQ(progress().enrollIndex, 0);
  EXPECT_TRUE(std::all_of(std::begin(progress().templateText), std::end(progress().templateText),
                          [](char c) { return c == 0; }));
}

TEST_F(StatusReplies, TemplateFillingTheWholeBufferIsReadNoFurther) {
  {
    platform::MutexLock lock(progress().mutex);
    std::memset(progress().templateText, 'A', TEMPLATE_TEXT_SIZE); // no terminator
  }
  const std::string reply = replyOf(getTemplate);
  EXPECT_EQ(reply, "{\"ret\":0, \"data\":{\"template\":\"" + std::string(TEMPLATE_TEXT_SIZE, 'A') +
                       "\"}}");
}

TEST_F(StatusReplies, PublicationIsRefusedAfterAReset) {
  CaptureState::Progress& state = progress();
  const auto generation = [&] {
    platform::MutexLock lock(state.mutex);
    return state.generation;
  };
  const auto text = [&] {
    platform::MutexLock lock(state.mutex);
    return std::string(state.templateText);
  };
  const std::uint64_t before = generation();
  unsigned char blob[TEMPLATE_BLOB_SIZE] = "OLD";
  {
    platform::MutexLock lock(state.mutex);
    state.reset(); // a beginCapture or getTemplate in between
  }
  EXPECT_FALSE(state.publishTemplate(blob, before));
  EXPECT_EQ(text()[0], '\0');
  EXPECT_TRUE(state.publishTemplate(blob, generation()));
  unsigned char other[TEMPLATE_BLOB_SIZE] = "NEW";
  EXPECT_FALSE(state.publishTemplate(other, generation())); // one waits already
  // Base64 of "OLD" followed by zero bytes up to 2048.
  EXPECT_EQ(text().substr(0, 8), "T0xEAAAA");
  EXPECT_EQ(text().size(), 2732u);
}

} // namespace
} // namespace capture
