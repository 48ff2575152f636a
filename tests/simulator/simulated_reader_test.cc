// The simulated reader keeps the promises the service relies on.
#include "reader/zkfp.h"
#include "simulator/control_commands.h"
#include "simulator/simulated_templates.h"
#include "support/sdk_calls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <set>
#include <thread>
#include <vector>

namespace simulator {
namespace {

using testing_support::callCount;

class SimulatedReader : public ::testing::Test {
 protected:
  // A reset keeps an open reader open, as it does for the service; each test starts closed.
  void SetUp() override {
    ZKFPM_Terminate();
    ASSERT_EQ(runControlCommand("reset"), "ok");
  }
  void TearDown() override { runControlCommand("reset"); }

  void* open() {
    EXPECT_EQ(ZKFPM_Init(), 0);
    return ZKFPM_OpenDevice(0);
  }
  // One capture: its result and the template bytes.
  int capture(void* device, std::vector<unsigned char>& templ, unsigned int& length) {
    templ.assign(2048, 0);
    length = 2048;
    unsigned char image[16];
    return ZKFPM_AcquireFingerprint(device, image, sizeof image, templ.data(), &length);
  }
  std::int32_t intParameter(void* device, int code, int* result = nullptr) {
    std::int32_t value = -1;
    unsigned int size = sizeof value;
    const int r =
        ZKFPM_GetParameters(device, code, reinterpret_cast<unsigned char*>(&value), &size);
    if (result)
      *result = r;
    return value;
  }
};

TEST_F(SimulatedReader, TemplatesAreDeterministicPerFingerWithSmallPerPressVariation) {
  std::set<std::uint32_t> lengths;
  for (std::uint32_t finger = 0; finger < 20; ++finger) {
    const std::uint32_t length = capturedTemplateLength(finger);
    EXPECT_LT(length, 2048u);
    EXPECT_LT(mergedTemplateLength(finger), 2048u);
    lengths.insert(length);
    std::vector<std::uint8_t> a(length), b(length);
    writeTemplate(CAPTURED_TEMPLATE, finger, 1, a.data(), length);
    writeTemplate(CAPTURED_TEMPLATE, finger, 2, b.data(), length);
    std::size_t differing = 0;
    for (std::size_t i = 12; i < length; ++i)
      differing += a[i] != b[i];
    EXPECT_GT(differing, 0u);
    EXPECT_LE(differing, 8u);
  }
  EXPECT_GT(lengths.size(), 15u);
}

TEST_F(SimulatedReader, PressesAreCapturedOnceEachInOrder) {
  void* device = open();
  ASSERT_NE(device, nullptr);
  std::vector<unsigned char> templ;
  unsigned int length = 0;
  EXPECT_NE(capture(device, templ, length), 0); // nothing pressed

  ASSERT_EQ(runControlCommand("press 5"), "ok");
  ASSERT_EQ(runControlCommand("fake 6"), "ok");
  EXPECT_EQ(runControlCommand("pending"), "ok 2");
  ASSERT_EQ(capture(device, templ, length), 0);
  EXPECT_EQ(length, capturedTemplateLength(5));
  EXPECT_EQ(identifyTemplate(templ.data(), length)->finger, 5u);
  EXPECT_EQ(intParameter(device, ZKFP_PARAM_FAKE_STATUS) & 0x1F, 0x1F);

  ASSERT_EQ(capture(device, templ, length), 0);
  EXPECT_NE(intParameter(device, ZKFP_PARAM_FAKE_STATUS) & 0x1F, 0x1F);
  EXPECT_NE(capture(device, templ, length), 0);
  EXPECT_EQ(runControlCommand("pending"), "ok 0");
}

TEST_F(SimulatedReader, MatchScoresAboveZeroExactlyForTheSameFinger) {
  void* cache = (ZKFPM_Init(), ZKFPM_DBInit());
  ASSERT_NE(cache, nullptr);
  auto make = [](std::uint32_t finger, std::uint32_t pressNumber) {
    std::vector<unsigned char> t(capturedTemplateLength(finger));
    writeTemplate(CAPTURED_TEMPLATE, finger, pressNumber, t.data(),
                  static_cast<std::uint32_t>(t.size()));
    return t;
  };
  auto a1 = make(1, 1), a2 = make(1, 2), b = make(2, 3);
  EXPECT_GT(ZKFPM_DBMatch(cache, a1.data(), a1.size(), a2.data(), a2.size()), 0);
  EXPECT_EQ(ZKFPM_DBMatch(cache, a1.data(), a1.size(), b.data(), b.size()), 0);
  unsigned char junk[64] = {};
  EXPECT_EQ(ZKFPM_DBMatch(cache, junk, sizeof junk, junk, sizeof junk), 0);

  std::vector<unsigned char> merged(2048);
  unsigned int mergedLength = 2048;
  auto a3 = make(1, 4);
  ASSERT_EQ(ZKFPM_DBMerge(cache, a1.data(), a2.data(), a3.data(), merged.data(), &mergedLength), 0);
  EXPECT_EQ(mergedLength, mergedTemplateLength(1));
  EXPECT_NE(ZKFPM_DBMerge(cache, a1.data(), a2.data(), b.data(), merged.data(), &mergedLength), 0);
  ASSERT_EQ(runControlCommand("fail merge"), "ok");
  mergedLength = 2048;
  EXPECT_NE(ZKFPM_DBMerge(cache, a1.data(), a2.data(), a3.data(), merged.data(), &mergedLength), 0);
}

TEST_F(SimulatedReader, Base64IsStandardAndStaysWithinTheBuffer) {
  unsigned char bytes[] = {'M', 'a', 'n', 'y', 0xFF, 0x00};
  char text[16];
  EXPECT_GT(ZKFPM_BlobToBase64(bytes, 6, text, sizeof text), 0);
  EXPECT_STREQ(text, "TWFuef8A");
  EXPECT_GT(ZKFPM_BlobToBase64(bytes, 4, text, sizeof text), 0);
  EXPECT_STREQ(text, "TWFueQ==");

  char small[9];
  std::memset(small, '#', sizeof small);
  EXPECT_GT(ZKFPM_BlobToBase64(bytes, 6, small, sizeof small), 0); // exactly fits
  char tooSmall[8];
  std::memset(tooSmall, '#', sizeof tooSmall);
  EXPECT_EQ(ZKFPM_BlobToBase64(bytes, 6, tooSmall, sizeof tooSmall), 0);
  EXPECT_EQ(tooSmall[0], '\0');
  EXPECT_EQ(tooSmall[1], '#');
}

TEST_F(SimulatedReader, OpeningFollowsInitAttachmentAndFailures) {
  EXPECT_EQ(ZKFPM_OpenDevice(0), nullptr); // before ZKFPM_Init
  ASSERT_EQ(runControlCommand("fail init"), "ok");
  EXPECT_NE(ZKFPM_Init(), 0);
  ASSERT_EQ(runControlCommand("pass init"), "ok");
  ASSERT_EQ(runControlCommand("unplug"), "ok");
  EXPECT_EQ(open(), nullptr);
  ASSERT_EQ(runControlCommand("plug"), "ok");
  void* device = open();
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(runControlCommand("fail dbinit"), "ok");
  EXPECT_EQ(ZKFPM_DBInit(), nullptr);

  // Unplugged while open: every call on the handle fails, the serial read too, and goes on
  // failing once the reader is back; presses wait for a new handle.
  ASSERT_EQ(runControlCommand("press 1"), "ok");
  ASSERT_EQ(runControlCommand("unplug"), "ok");
  std::vector<unsigned char> templ;
  unsigned int length = 0;
  EXPECT_NE(capture(device, templ, length), 0);
  unsigned char serial[64] = {};
  unsigned int size = sizeof serial;
  EXPECT_NE(ZKFPM_GetParameters(device, ZKFP_PARAM_SERIAL_NUMBER, serial, &size), 0);
  ASSERT_EQ(runControlCommand("plug"), "ok");
  EXPECT_NE(capture(device, templ, length), 0);
  int result = 0;
  intParameter(device, ZKFP_PARAM_IMAGE_WIDTH, &result);
  EXPECT_NE(result, 0);
  EXPECT_EQ(ZKFPM_CloseDevice(device), 0);
  ZKFPM_Terminate();
  void* reopened = open();
  ASSERT_NE(reopened, nullptr);
  EXPECT_NE(reopened, device);
  ASSERT_EQ(runControlCommand("press 1"), "ok");
  EXPECT_EQ(capture(reopened, templ, length), 0);
  EXPECT_NE(capture(device, templ, length), 0);

  const std::string calls = runControlCommand("calls");
  EXPECT_EQ(callCount(calls, "ZKFPM_Init"), 4u);
  EXPECT_EQ(callCount(calls, "ZKFPM_OpenDevice"), 4u);
  EXPECT_EQ(callCount(calls, "ZKFPM_GetParameters:1"), 1u);
}

TEST_F(SimulatedReader, SerialAndImageSizeAreSettable) {
  void* device = open();
  EXPECT_EQ(intParameter(device, ZKFP_PARAM_IMAGE_WIDTH), 300);
  EXPECT_EQ(intParameter(device, ZKFP_PARAM_IMAGE_HEIGHT), 400);
  ASSERT_EQ(runControlCommand("image 0 0"), "ok");
  EXPECT_EQ(intParameter(device, ZKFP_PARAM_IMAGE_WIDTH), 0);

  ASSERT_EQ(runControlCommand("serial AB \"x\""), "ok");
  unsigned char serial[64] = {};
  unsigned int size = sizeof serial;
  ASSERT_EQ(ZKFPM_GetParameters(device, ZKFP_PARAM_SERIAL_NUMBER, serial, &size), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(serial), "AB \"x\"");

  // A serial as long as the buffer fills it without a terminator.
  ASSERT_EQ(runControlCommand("serial " + std::string(80, 'S')), "ok");
  unsigned char exact[65];
  std::memset(exact, '#', sizeof exact);
  size = 64;
  ASSERT_EQ(ZKFPM_GetParameters(device, ZKFP_PARAM_SERIAL_NUMBER, exact, &size), 0);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(exact[63], 'S');
  EXPECT_EQ(exact[64], '#');
}

TEST_F(SimulatedReader, CommandsAreCheckedAndReported) {
  EXPECT_EQ(runControlCommand("press"), "error usage: press N (0 to 999999)");
  EXPECT_EQ(runControlCommand("press -1").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("press 1000000").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("press 1 size=3").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("fail open").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("image 1").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("dance").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("  press 2 length=4096\r\n"), "ok");
  EXPECT_EQ(runControlCommand("help").substr(0, 3), "ok ");
  // The help reply is made from the command table; clients may show it as it is.
  EXPECT_EQ(runControlCommand("help"),
            "ok commands: press N [length=L] [wait=MS] | fake N [wait=MS] | unplug | plug | "
            "attached | fail CALL | pass CALL (CALL: init dbinit merge params) | serial TEXT | "
            "image W H | slow MS | pending | calls | reset | help");

  // A press can report more than the buffer holds without being written past it.
  void* device = open();
  std::vector<unsigned char> templ;
  unsigned int length = 0;
  ASSERT_EQ(capture(device, templ, length), 0);
  EXPECT_EQ(length, 4096u);
  EXPECT_EQ(templ.size(), 2048u);
}

TEST_F(SimulatedReader, WaitedPressIsAnsweredOnceTheServiceIsDoneWithIt) {
  void* device = open();
  std::vector<unsigned char> templ;
  unsigned int length = 0;
  auto waited = [](const char* command) {
    return std::async(std::launch::async, [command] { return runControlCommand(command); });
  };
  auto waitForPending = [](const char* count) {
    while (runControlCommand("pending") != count)
      std::this_thread::yield();
  };

  // Live: taken by one capture, answered at the next capture attempt.
  auto live = waited("press 5 wait=5000");
  waitForPending("ok 1");
  ASSERT_EQ(capture(device, templ, length), 0);
  EXPECT_EQ(live.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_NE(capture(device, templ, length), 0);
  EXPECT_EQ(live.get(), "ok captured");

  // Fake: answered when the template conversion that publishes a capture returns.
  auto fake = waited("fake 6 wait=5000");
  waitForPending("ok 1");
  ASSERT_EQ(capture(device, templ, length), 0);
  char text[4096];
  ZKFPM_BlobToBase64(templ.data(), 2048, text, sizeof text);
  EXPECT_EQ(fake.get(), "ok fake");

  // Not taken in time: withdrawn, so no later capture takes it by surprise.
  EXPECT_EQ(runControlCommand("press 7 wait=30"), "error timeout");
  EXPECT_EQ(runControlCommand("pending"), "ok 0");
  EXPECT_NE(capture(device, templ, length), 0);

  // Removed by reset before any capture.
  auto dropped = waited("press 8 wait=5000");
  waitForPending("ok 1");
  ASSERT_EQ(runControlCommand("reset"), "ok");
  EXPECT_EQ(dropped.get(), "ok dropped");

  EXPECT_EQ(runControlCommand("press 1 wait=0").substr(0, 5), "error");
  EXPECT_EQ(runControlCommand("press 1 wait=60001").substr(0, 5), "error");
}

TEST_F(SimulatedReader, QueueHoldsSixtyFourPresses) {
  for (int i = 0; i < 64; ++i)
    ASSERT_EQ(runControlCommand("press 1"), "ok") << i;
  EXPECT_EQ(runControlCommand("fake 1"), "error queue full (64 presses pending)");
  EXPECT_EQ(runControlCommand("pending"), "ok 64");
}

TEST_F(SimulatedReader, ResetKeepsAnOpenReaderCapturing) {
  void* device = open();
  void* cache = ZKFPM_DBInit();
  ASSERT_EQ(runControlCommand("fail params"), "ok");
  ASSERT_EQ(runControlCommand("reset"), "ok");
  ASSERT_EQ(runControlCommand("press 3"), "ok");
  std::vector<unsigned char> templ;
  unsigned int length = 0;
  EXPECT_EQ(capture(device, templ, length), 0);
  EXPECT_EQ(ZKFPM_DBMatch(cache, templ.data(), length, templ.data(), length), 80);
  // A handle lost to an unplug is not revived by a reset either.
  ASSERT_EQ(runControlCommand("unplug"), "ok");
  ASSERT_EQ(runControlCommand("reset"), "ok");
  ASSERT_EQ(runControlCommand("press 3"), "ok");
  EXPECT_NE(capture(device, templ, length), 0);
}

} // namespace
} // namespace simulator
