#include "capture/capture_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace capture {
namespace {

class StatusReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard lock(captureStateLock());
    resetProgressLocked(captureState());
  }
  void setProgress(std::int32_t enrollIndex, const char* text) {
    std::lock_guard lock(captureStateLock());
    CaptureState& state = captureState();
    state.enrollIndex = enrollIndex;
    std::memset(state.templateText, 0, sizeof state.templateText);
    std::strncpy(state.templateText, text, sizeof state.templateText - 1);
  }
};

TEST_F(StatusReplies, FreshServiceHasNoReaderAndNothingReady) {
  EXPECT_EQ(info(), "{\"ret\":-1}");
  EXPECT_EQ(getImage(), "{\"ret\":-4, \"data\":{\"enroll_index\":0}}");
  EXPECT_EQ(getTemplate(), "{\"ret\":-4}");
}

TEST_F(StatusReplies, EnrolmentProgressShowsWhileNothingIsReady) {
  setProgress(2, "");
  EXPECT_EQ(getImage(), "{\"ret\":-4, \"data\":{\"enroll_index\":2}}");
  EXPECT_EQ(getTemplate(), "{\"ret\":-4}");
  EXPECT_EQ(getImage(), "{\"ret\":-4, \"data\":{\"enroll_index\":2}}");
}

TEST_F(StatusReplies, SingleTemplateCountsAsOnePressAndIsHandedOverOnce) {
  setProgress(0, "AAEC");
  EXPECT_EQ(getImage(), "{\"ret\":0, \"data\":{\"enroll_index\":1}}");
  EXPECT_EQ(getTemplate(), "{\"ret\":0, \"data\":{\"template\":\"AAEC\"}}");
  EXPECT_EQ(getTemplate(), "{\"ret\":-4}");
  EXPECT_EQ(getImage(), "{\"ret\":-4, \"data\":{\"enroll_index\":0}}");
}

TEST_F(StatusReplies, EnrolledTemplateResetsProgressWhenFetched) {
  setProgress(3, "TUVSR0VE");
  EXPECT_EQ(getImage(), "{\"ret\":0, \"data\":{\"enroll_index\":3}}");
  EXPECT_EQ(getTemplate(), "{\"ret\":0, \"data\":{\"template\":\"TUVSR0VE\"}}");
  std::lock_guard lock(captureStateLock());
  EXPECT_EQ(captureState().enrollIndex, 0);
  EXPECT_TRUE(std::all_of(std::begin(captureState().templateText),
                          std::end(captureState().templateText), [](char c) { return c == 0; }));
}

TEST_F(StatusReplies, TemplateFillingTheWholeBufferIsReadNoFurther) {
  {
    std::lock_guard lock(captureStateLock());
    std::memset(captureState().templateText, 'A', TEMPLATE_TEXT_SIZE); // no terminator
  }
  const std::string reply = getTemplate();
  EXPECT_EQ(reply, "{\"ret\":0, \"data\":{\"template\":\"" + std::string(TEMPLATE_TEXT_SIZE, 'A') +
                       "\"}}");
}

TEST_F(StatusReplies, PublicationIsRefusedAfterAReset) {
  std::lock_guard lock(captureStateLock());
  CaptureState& state = captureState();
  const std::uint64_t before = state.generation;
  unsigned char blob[TEMPLATE_BLOB_SIZE] = "OLD";
  resetProgressLocked(state); // a beginCapture or getTemplate in between
  EXPECT_FALSE(publishTemplateLocked(state, blob, before));
  EXPECT_EQ(state.templateText[0], '\0');
  EXPECT_TRUE(publishTemplateLocked(state, blob, state.generation));
  unsigned char other[TEMPLATE_BLOB_SIZE] = "NEW";
  EXPECT_FALSE(publishTemplateLocked(state, other, state.generation)); // one waits already
  // Base64 of "OLD" followed by zero bytes up to 2048.
  EXPECT_EQ(std::string(state.templateText).substr(0, 8), "T0xEAAAA");
  EXPECT_EQ(std::string(state.templateText).size(), 2732u);
}

} // namespace
} // namespace capture
