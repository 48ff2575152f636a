// The enrolment state machine against the simulated reader linked into the test.
#include "capture/enrollment.h"

#include "capture/capture_state.h"
#include "reader/zkfp.h"
#include "simulator/control_commands.h"
#include "support/simulated_template_text.h"
#include "support/sdk_calls.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace capture {
namespace {

using simulator::runControlCommand;
using testing_support::callCount;

std::vector<unsigned char> press(std::uint32_t finger, std::uint32_t pressNumber) {
  std::vector<unsigned char> sample(TEMPLATE_BLOB_SIZE, 0);
  const std::uint32_t length = simulator::capturedTemplateLength(finger);
  simulator::writeTemplate(simulator::CAPTURED_TEMPLATE, finger, pressNumber, sample.data(),
                           length);
  sample.resize(length);
  return sample;
}

class Enrolment : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(runControlCommand("reset"), "ok");
    ASSERT_EQ(ZKFPM_Init(), 0);
    void* cache = ZKFPM_DBInit();
    ASSERT_NE(cache, nullptr);
    {
      platform::MutexLock lock(reader().callMutex);
      reader().publish(std::unique_ptr<const OpenReader>(new OpenReader{.dbCacheHandle = cache}));
    }
    platform::MutexLock lock(progress().mutex);
    progress().reset();
  }
  void TearDown() override {
    {
      platform::MutexLock lock(reader().callMutex);
      reader().publish(nullptr);
    }
    runControlCommand("reset");
  }

  static CaptureState::Reader& reader() { return captureState().reader; }
  static CaptureState::Progress& progress() { return captureState().progress; }
  std::uint64_t generation() {
    platform::MutexLock lock(progress().mutex);
    return progress().generation;
  }
  // Hands `sample` to enrolment as the worker does, holding the reader-call lock.
  void addSample(const std::vector<unsigned char>& sample, std::uint64_t capturedIn) {
    platform::MutexLock lock(reader().callMutex);
    addEnrollSample(reader(), samples_, sample.data(), static_cast<std::uint32_t>(sample.size()),
                    capturedIn);
  }
  void add(std::uint32_t finger) { addSample(press(finger, ++presses_), generation()); }
  std::int32_t enrollIndex() {
    platform::MutexLock lock(progress().mutex);
    return progress().enrollIndex;
  }
  std::string templateText() {
    platform::MutexLock lock(progress().mutex);
    return progress().templateText;
  }
  // What the merge of finger's presses publishes.
  static std::string mergedText(std::uint32_t finger) {
    return testing_support::simulatedTemplateText(simulator::MERGED_TEMPLATE, finger, 0);
  }

  EnrollSamples samples_;
  std::uint32_t presses_ = 0;
};

TEST_F(Enrolment, ThreeMatchingPressesAreMergedAndPublished) {
  add(7);
  EXPECT_EQ(enrollIndex(), 1);
  add(7);
  EXPECT_EQ(enrollIndex(), 2);
  EXPECT_EQ(templateText(), "");
  add(7);
  EXPECT_EQ(enrollIndex(), 3);
  EXPECT_EQ(templateText(), mergedText(7));
  EXPECT_EQ(templateText().size(), 2732u); // always 2048 bytes encoded
}

TEST_F(Enrolment, DifferentFingerOnSecondPressStartsOverWithoutStoringIt) {
  add(1);
  add(2);
  EXPECT_EQ(enrollIndex(), 0);
  // The next press is the first of a new enrolment, whichever finger it is.
  add(2);
  add(2);
  add(2);
  EXPECT_EQ(templateText(), mergedText(2));
}

TEST_F(Enrolment, DifferentFingerOnThirdPressStartsOver) {
  add(4);
  add(4);
  add(5);
  EXPECT_EQ(enrollIndex(), 0);
  EXPECT_EQ(templateText(), "");
}

TEST_F(Enrolment, EachPressIsComparedOnlyWithThePreviousOne) {
  add(3);
  EXPECT_EQ(callCount(runControlCommand("calls"), "ZKFPM_DBMatch"), 0u);
  add(3);
  EXPECT_EQ(callCount(runControlCommand("calls"), "ZKFPM_DBMatch"), 1u);
  add(3);
  EXPECT_EQ(callCount(runControlCommand("calls"), "ZKFPM_DBMatch"), 2u);
  EXPECT_EQ(callCount(runControlCommand("calls"), "ZKFPM_DBMerge"), 1u);
}

TEST_F(Enrolment, FailedMergeStaysAtThreeThenNeedsFourMorePresses) {
  ASSERT_EQ(runControlCommand("fail merge"), "ok");
  add(9);
  add(9);
  add(9);
  EXPECT_EQ(enrollIndex(), 3);
  EXPECT_EQ(templateText(), "");
  ASSERT_EQ(runControlCommand("pass merge"), "ok");
  add(9); // dropped
  EXPECT_EQ(enrollIndex(), 0);
  add(9);
  add(9);
  EXPECT_EQ(templateText(), "");
  add(9);
  EXPECT_EQ(templateText(), mergedText(9));
}

TEST_F(Enrolment, PressCapturedBeforeAResetIsNotUsedAfterIt) {
  add(6);
  const std::uint64_t before = generation();
  {
    platform::MutexLock lock(progress().mutex);
    progress().reset(); // beginCapture while the press was being captured
  }
  addSample(press(6, 99), before);
  EXPECT_EQ(enrollIndex(), 0);
}

TEST_F(Enrolment, OversizedSampleIsDropped) {
  add(8);
  addSample(std::vector<unsigned char>(TEMPLATE_BLOB_SIZE + 1, 0), generation());
  EXPECT_EQ(enrollIndex(), 1);
}

} // namespace
} // namespace capture
