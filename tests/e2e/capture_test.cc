// Opening the reader, Single captures and enrolment through the real service and its simulated
// reader, driven over the simulator's control channel.
#include "e2e/service_fixture.h"

#include "simulator/simulated_templates.h"

#include <thread>
#include <vector>

namespace e2e {
namespace {

using std::chrono::milliseconds;

const std::string BEGIN = "/varuvezivuv/fingerprint/beginCapture";
const std::string IMAGE = "/varuvezivuv/fingerprint/getImage";
const std::string TEMPLATE = "/varuvezivuv/fingerprint/getTemplate";
const std::string SERIAL_REPLY = "{\"ret\":0, \"data\":{\"sn\":\"SIM-0000-0001\"}}";

std::string progress(int ret, int enrollIndex) {
  return "{\"ret\":" + std::to_string(ret) + ", \"data\":{\"enroll_index\":" +
         std::to_string(enrollIndex) + "}}";
}

// The text the service publishes for a template: its bytes padded with zeros to 2048.
std::string publishedText(std::uint8_t kind, std::uint32_t finger, std::uint32_t pressNumber) {
  std::vector<std::uint8_t> blob(2048, 0);
  const std::uint32_t length = kind == simulator::MERGED_TEMPLATE
                                   ? simulator::mergedTemplateLength(finger)
                                   : simulator::capturedTemplateLength(finger);
  simulator::writeTemplate(kind, finger, pressNumber, blob.data(), length);
  return simulator::encodeBase64(blob.data(), blob.size());
}

std::string templateReply(const std::string& text) {
  return "{\"ret\":0, \"data\":{\"template\":\"" + text + "\"}}";
}

class CaptureTest : public ServiceTest {
 protected:
  // Presses a finger and waits until the service is done with the press.
  void press(const std::string& command) {
    const std::string reply = simWait(command);
    ASSERT_TRUE(reply == "ok captured" || reply == "ok fake") << command << ": " << reply;
  }
  // After a press was taken, the worker needs a moment to use it.
  void settle() { std::this_thread::sleep_for(scaled(milliseconds(150))); }
};

using CaptureEndToEnd = CaptureTest;

TEST_F(CaptureEndToEnd, FirstBeginCaptureOpensTheReaderAndReportsItsSerial) {
  EXPECT_EQ(httpGet(BEGIN), framed(SERIAL_REPLY));
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
  EXPECT_EQ(calls("ZKFPM_Init"), 1u);
  EXPECT_EQ(calls("ZKFPM_SetParameters:2002"), 1u);
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
}

TEST_F(CaptureEndToEnd, SinglePressGivesATemplateHandedOverOnce) {
  ASSERT_EQ(get(BEGIN + "?type=2&FakeFunOn=1"), SERIAL_REPLY);
  press("press 4");
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
  EXPECT_EQ(httpGet(TEMPLATE), framed(templateReply(publishedText(1, 4, 1))));
  EXPECT_EQ(get(TEMPLATE), "{\"ret\":-4}");
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
}

TEST_F(CaptureEndToEnd, ThreeMatchingPressesAreEnrolled) {
  ASSERT_EQ(get(BEGIN + "?type=1&FakeFunOn=1"), SERIAL_REPLY);
  for (int pressed = 1; pressed <= 3; ++pressed) {
    press("press 11");
    const std::string expected = progress(pressed == 3 ? 0 : -4, pressed);
    EXPECT_EQ(waitForImage(expected), expected);
  }
  EXPECT_EQ(get(TEMPLATE), templateReply(publishedText(2, 11, 0)));
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
  EXPECT_EQ(get(TEMPLATE), "{\"ret\":-4}");
}

using Single = CaptureTest;

TEST_F(Single, PressesWhileATemplateWaitsAreNotCapturedAndTheNextPressGivesTheNext) {
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  press("press 1");
  ASSERT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
  ASSERT_EQ(sim("press 2"), "ok");
  std::this_thread::sleep_for(scaled(milliseconds(400)));
  EXPECT_EQ(sim("pending"), "ok 1"); // the worker waits for the template to be fetched
  EXPECT_EQ(get(TEMPLATE), templateReply(publishedText(1, 1, 1)));
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
  EXPECT_EQ(get(TEMPLATE), templateReply(publishedText(1, 2, 2)));
}

TEST_F(Single, TemplateTextIsAlwaysTwoThousandFortyEightBytesEncoded) {
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  for (const std::uint32_t finger : {0u, 3u, 77u}) {
    press("press " + std::to_string(finger));
    ASSERT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
    const std::string reply = get(TEMPLATE);
    EXPECT_EQ(reply.size(), templateReply(std::string(2732, 'x')).size()) << finger;
  }
}

TEST_F(Single, FakeFingerIsDroppedAndTheNextLiveOneUsed) {
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  press("fake 5");
  settle();
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
  EXPECT_EQ(calls("ZKFPM_GetParameters:2004"), 1u);
  press("press 6");
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
}

TEST_F(Single, WithFakeCheckOffEveryCaptureIsUsedAndTheStatusNeverRead) {
  ASSERT_EQ(get(BEGIN + "?FakeFunOn=0&type=2"), SERIAL_REPLY);
  press("fake 5");
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
  EXPECT_EQ(get(TEMPLATE), templateReply(publishedText(1, 5, 1)));
  EXPECT_EQ(calls("ZKFPM_GetParameters:2004"), 0u);
}

TEST_F(Single, OversizedCaptureIsDropped) {
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  press("press 2 length=2049");
  settle();
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
  EXPECT_EQ(calls("ZKFPM_BlobToBase64"), 0u);
  press("press 2 length=2048"); // a length that fits is used as it is
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
}

using Enrolment = CaptureTest;

TEST_F(Enrolment, DifferentFingerOnSecondOrThirdPressFallsBackToZero) {
  ASSERT_EQ(get(BEGIN), SERIAL_REPLY);
  press("press 1");
  ASSERT_EQ(waitForImage(progress(-4, 1)), progress(-4, 1));
  press("press 2");
  EXPECT_EQ(waitForImage(progress(-4, 0)), progress(-4, 0));
  // Started over: that press was not kept.
  press("press 3");
  press("press 3");
  ASSERT_EQ(waitForImage(progress(-4, 2)), progress(-4, 2));
  press("press 4");
  EXPECT_EQ(waitForImage(progress(-4, 0)), progress(-4, 0));
}

TEST_F(Enrolment, FailedMergeStaysAtThreeAndNeedsFourMorePresses) {
  ASSERT_EQ(get(BEGIN), SERIAL_REPLY);
  ASSERT_EQ(sim("fail merge"), "ok");
  for (int i = 0; i < 3; ++i)
    press("press 8");
  settle();
  EXPECT_EQ(get(IMAGE), progress(-4, 3));
  ASSERT_EQ(sim("pass merge"), "ok");
  press("press 8");
  EXPECT_EQ(waitForImage(progress(-4, 0)), progress(-4, 0));
  for (int i = 0; i < 3; ++i)
    press("press 8");
  EXPECT_EQ(waitForImage(progress(0, 3)), progress(0, 3));
  EXPECT_EQ(get(TEMPLATE), templateReply(publishedText(2, 8, 0)));
}

using ReaderOpening = CaptureTest;

TEST_F(ReaderOpening, NoReaderGivesMinusTwoAndTerminatesThenALaterCallRetriesFromInit) {
  ASSERT_EQ(sim("unplug"), "ok");
  EXPECT_EQ(get(BEGIN), "{\"ret\":-2, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(calls("ZKFPM_Terminate"), 1u);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  ASSERT_EQ(sim("plug"), "ok");
  EXPECT_EQ(get(BEGIN), SERIAL_REPLY);
  EXPECT_EQ(calls("ZKFPM_Init"), 2u);
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 2u);
}

TEST_F(ReaderOpening, InitFailureGivesMinusOneWithoutTerminating) {
  ASSERT_EQ(sim("fail init"), "ok");
  EXPECT_EQ(get(BEGIN), "{\"ret\":-1, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(calls("ZKFPM_Terminate"), 0u);
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 0u);
  ASSERT_EQ(sim("pass init"), "ok");
  EXPECT_EQ(get(BEGIN), SERIAL_REPLY);
}

TEST_F(ReaderOpening, CacheFailureGivesMinusThreeClosesTheReaderAndRetries) {
  ASSERT_EQ(sim("fail dbinit"), "ok");
  EXPECT_EQ(get(BEGIN), "{\"ret\":-3, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(calls("ZKFPM_CloseDevice"), 1u);
  EXPECT_EQ(calls("ZKFPM_Terminate"), 1u);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  ASSERT_EQ(sim("pass dbinit"), "ok");
  EXPECT_EQ(get(BEGIN), SERIAL_REPLY);
  EXPECT_EQ(calls("ZKFPM_Init"), 2u);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
}

TEST_F(ReaderOpening, LaterCallKeepsTheModeButDiscardsProgressAndTheWaitingTemplate) {
  ASSERT_EQ(get(BEGIN), SERIAL_REPLY); // Enroll
  press("press 1");
  ASSERT_EQ(waitForImage(progress(-4, 1)), progress(-4, 1));
  EXPECT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
  press("press 1");
  ASSERT_EQ(waitForImage(progress(-4, 1)), progress(-4, 1)); // still enrolling
  press("press 1");
  press("press 1");
  ASSERT_EQ(waitForImage(progress(0, 3)), progress(0, 3));
  EXPECT_EQ(get(BEGIN), SERIAL_REPLY); // the enrolled template is discarded
  EXPECT_EQ(get(TEMPLATE), "{\"ret\":-4}");
  EXPECT_EQ(calls("ZKFPM_Init"), 1u);
  EXPECT_EQ(calls("ZKFPM_GetParameters:1103"), 3u);
}

TEST_F(ReaderOpening, QueryFlagsAreCaseSensitiveAndNotDecoded) {
  // TYPE=2 and type%3D2 leave Enroll mode: one press is progress 1, not a template.
  ASSERT_EQ(get(BEGIN + "?TYPE=2&type%3D2&FakeFunOn=01"), SERIAL_REPLY);
  press("fake 3"); // FakeFunOn=01 contains FakeFunOn=0: the fake check is off
  EXPECT_EQ(waitForImage(progress(-4, 1)), progress(-4, 1));
  EXPECT_EQ(calls("ZKFPM_GetParameters:2004"), 0u);
}

TEST_F(ReaderOpening, FlagTextOutsideTheQueryStringIsIgnored) {
  TcpClient client;
  ASSERT_TRUE(client.connect(SERVICE_PORT));
  client.send("POST " + BEGIN + " HTTP/1.1\r\nX-Note: type=2 FakeFunOn=0\r\n"
              "Content-Length: 20\r\n\r\ntype=2&FakeFunOn=0xx");
  EXPECT_EQ(client.readUntil("\r\n0\r\n\r\n", scaled(milliseconds(3000))), framed(SERIAL_REPLY));
  press("fake 2"); // anti-fake is on: dropped
  settle();
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
  press("press 2"); // Enroll: progress, not a template
  EXPECT_EQ(waitForImage(progress(-4, 1)), progress(-4, 1));
}

TEST_F(ReaderOpening, SerialIsCutAtSixtyFourBytesAndEscapedAsJson) {
  ASSERT_EQ(sim("serial " + std::string(70, 'S')), "ok");
  EXPECT_EQ(get(BEGIN), "{\"ret\":0, \"data\":{\"sn\":\"" + std::string(64, 'S') + "\"}}");
  ASSERT_EQ(sim("serial A\"B\\C"), "ok");
  EXPECT_EQ(get(BEGIN), "{\"ret\":0, \"data\":{\"sn\":\"A\\\"B\\\\C\"}}");
}

TEST_F(ReaderOpening, ZeroImageSizeStillCaptures) {
  ASSERT_EQ(sim("image 0 0"), "ok");
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  press("press 9");
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
}

TEST_F(ReaderOpening, FailedSizeReadsLeaveZeroImageAndStillCapture) {
  ASSERT_EQ(sim("fail params"), "ok");
  EXPECT_EQ(get(BEGIN + "?type=2&FakeFunOn=0"), "{\"ret\":0, \"data\":{\"sn\":\"\"}}");
  press("press 9");
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
}

TEST_F(ReaderOpening, ImpossibleImageSizeFailsTheOpenWithMinusThree) {
  for (const char* size : {"image 100000 100000", "image -1 300"}) {
    ASSERT_EQ(sim(size), "ok");
    EXPECT_EQ(get(BEGIN), "{\"ret\":-3, \"data\":{\"sn\":\"\"}}") << size;
    EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  }
  EXPECT_EQ(calls("ZKFPM_CloseDevice"), 2u);
  ASSERT_EQ(sim("image 300 400"), "ok");
  EXPECT_EQ(get(BEGIN), SERIAL_REPLY);
}

TEST_F(ReaderOpening, UnpluggedWhileOpenKeepsTheServiceAnswering) {
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  ASSERT_EQ(sim("unplug"), "ok");
  ASSERT_EQ(sim("press 1"), "ok");
  settle();
  EXPECT_EQ(get(IMAGE), progress(-4, 0));
  EXPECT_EQ(get(BEGIN), "{\"ret\":0, \"data\":{\"sn\":\"\"}}"); // still open; serial unreadable
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
  ASSERT_EQ(sim("plug"), "ok");
  EXPECT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
}

TEST_F(CaptureTest, CancelCaptureChangesNothing) {
  ASSERT_EQ(get(BEGIN + "?type=2"), SERIAL_REPLY);
  press("press 5");
  ASSERT_EQ(waitForImage(progress(0, 1)), progress(0, 1));
  EXPECT_EQ(get("/varuvezivuv/fingerprint/cancelCapture"), "{\"ret\":0}");
  EXPECT_EQ(get(TEMPLATE), templateReply(publishedText(1, 5, 1)));
}

} // namespace
} // namespace e2e
