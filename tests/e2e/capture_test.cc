// Opening the reader, Single captures and enrolment through the real service and its simulated
// reader, driven over the simulator's control channel.
#include "e2e/service_fixture.h"

#include "support/simulated_template_text.h"

#include <thread>
#include <vector>

namespace e2e {
namespace {

using std::chrono::milliseconds;

using testing_support::simulatedTemplateText;

class CaptureEndToEnd : public ServiceTest {
 protected:
  // Presses a finger and waits until the service is done with the press.
  void press(const std::string& command) {
    const std::string reply = simWait(command);
    ASSERT_TRUE(reply == "ok captured" || reply == "ok fake") << command << ": " << reply;
  }
  // After a press was taken, the worker needs a moment to use it.
  void settle() { std::this_thread::sleep_for(scaled(milliseconds(150))); }
};

TEST_F(CaptureEndToEnd, FirstBeginCaptureOpensTheReaderAndReportsItsSerial) {
  EXPECT_EQ(httpGet(BEGIN_CAPTURE_PATH), framed(SERIAL_REPLY));
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
  EXPECT_EQ(calls("ZKFPM_Init"), 1u);
  EXPECT_EQ(calls("ZKFPM_SetParameters:2002"), 1u);
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
}

TEST_F(CaptureEndToEnd, SinglePressGivesATemplateHandedOverOnce) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2&FakeFunOn=1"), SERIAL_REPLY);
  press("press 4");
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
  EXPECT_EQ(httpGet(GET_TEMPLATE_PATH), framed(templateReply(simulatedTemplateText(1, 4, 1))));
  EXPECT_EQ(get(GET_TEMPLATE_PATH), "{\"ret\":-4}");
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
}

// A page's request with a header of its own is preceded by the browser's preflight, whose reply
// the browser drops: it must not take the template.
TEST_F(CaptureEndToEnd, APreflightOfGetTemplateLeavesTheTemplateWaiting) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  press("press 4");
  ASSERT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
  TcpClient client;
  ASSERT_TRUE(client.connect(SERVICE_PORT));
  client.send("OPTIONS " + GET_TEMPLATE_PATH +
              " HTTP/1.1\r\nOrigin: https://a.example\r\n"
              "Access-Control-Request-Method: GET\r\n"
              "Access-Control-Request-Headers: x-requested-with\r\n\r\n");
  const std::string reply = client.readUntil("\r\n\r\n", scaled(milliseconds(3000)));
  for (const char* header : {"HTTP/1.1 200 OK\r\n", "\r\nAccess-Control-Allow-Origin: *\r\n",
                             "\r\nAccess-Control-Allow-Methods: GET, POST, HEAD, OPTIONS\r\n",
                             "\r\nAccess-Control-Allow-Headers: x-requested-with\r\n",
                             "\r\nAccess-Control-Max-Age: ", "\r\nContent-Length: 0\r\n"})
    EXPECT_NE(reply.find(header), std::string::npos) << header;
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(0, 1));
  // The same connection then carries the page's own request.
  client.send("GET " + GET_TEMPLATE_PATH + " HTTP/1.1\r\nX-Requested-With: page\r\n\r\n");
  EXPECT_EQ(chunkedBody(client.readUntil(testing_support::LAST_CHUNK, scaled(milliseconds(3000)))),
            templateReply(simulatedTemplateText(1, 4, 1)));
}

TEST_F(CaptureEndToEnd, ThreeMatchingPressesAreEnrolled) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=1&FakeFunOn=1"), SERIAL_REPLY);
  for (int pressed = 1; pressed <= 3; ++pressed) {
    press("press 11");
    const std::string expected = progressReply(pressed == 3 ? 0 : -4, pressed);
    EXPECT_EQ(waitForImage(expected), expected);
  }
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(2, 11, 0)));
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
  EXPECT_EQ(get(GET_TEMPLATE_PATH), "{\"ret\":-4}");
}

using SingleCaptureEndToEnd = CaptureEndToEnd;

TEST_F(SingleCaptureEndToEnd, PressesWhileATemplateWaitsAreNotCapturedAndTheNextPressGivesTheNext) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  press("press 1");
  ASSERT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
  ASSERT_EQ(sim("press 2"), "ok");
  std::this_thread::sleep_for(scaled(milliseconds(400)));
  EXPECT_EQ(sim("pending"), "ok 1"); // the worker waits for the template to be fetched
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(1, 1, 1)));
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(1, 2, 2)));
}

TEST_F(SingleCaptureEndToEnd, TemplateTextIsAlwaysTwoThousandFortyEightBytesEncoded) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  for (const std::uint32_t finger : {0u, 3u, 77u}) {
    press("press " + std::to_string(finger));
    ASSERT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
    const std::string reply = get(GET_TEMPLATE_PATH);
    EXPECT_EQ(reply.size(), templateReply(std::string(2732, 'x')).size()) << finger;
  }
}

TEST_F(SingleCaptureEndToEnd, FakeFingerIsDroppedAndTheNextLiveOneUsed) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  press("fake 5");
  settle();
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
  EXPECT_EQ(calls("ZKFPM_GetParameters:2004"), 1u);
  press("press 6");
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
}

TEST_F(SingleCaptureEndToEnd, WithFakeCheckOffEveryCaptureIsUsedAndTheStatusNeverRead) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?FakeFunOn=0&type=2"), SERIAL_REPLY);
  press("fake 5");
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(1, 5, 1)));
  EXPECT_EQ(calls("ZKFPM_GetParameters:2004"), 0u);
}

TEST_F(SingleCaptureEndToEnd, OversizedCaptureIsDropped) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  press("press 2 length=2049");
  settle();
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
  EXPECT_EQ(calls("ZKFPM_BlobToBase64"), 0u);
  press("press 2 length=2048"); // a length that fits is used as it is
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
}

using EnrolmentEndToEnd = CaptureEndToEnd;

TEST_F(EnrolmentEndToEnd, DifferentFingerOnSecondOrThirdPressFallsBackToZero) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  press("press 1");
  ASSERT_EQ(waitForImage(progressReply(-4, 1)), progressReply(-4, 1));
  press("press 2");
  EXPECT_EQ(waitForImage(progressReply(-4, 0)), progressReply(-4, 0));
  // Started over: that press was not kept.
  press("press 3");
  press("press 3");
  ASSERT_EQ(waitForImage(progressReply(-4, 2)), progressReply(-4, 2));
  press("press 4");
  EXPECT_EQ(waitForImage(progressReply(-4, 0)), progressReply(-4, 0));
}

TEST_F(EnrolmentEndToEnd, FailedMergeStaysAtThreeAndNeedsFourMorePresses) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  ASSERT_EQ(sim("fail merge"), "ok");
  for (int i = 0; i < 3; ++i)
    press("press 8");
  settle();
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 3));
  ASSERT_EQ(sim("pass merge"), "ok");
  press("press 8");
  EXPECT_EQ(waitForImage(progressReply(-4, 0)), progressReply(-4, 0));
  for (int i = 0; i < 3; ++i)
    press("press 8");
  EXPECT_EQ(waitForImage(progressReply(0, 3)), progressReply(0, 3));
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(2, 8, 0)));
}

using ReaderOpeningEndToEnd = CaptureEndToEnd;

TEST_F(ReaderOpeningEndToEnd, NoReaderGivesMinusTwoAndTerminatesThenALaterCallRetriesFromInit) {
  ASSERT_EQ(sim("unplug"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), "{\"ret\":-2, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(calls("ZKFPM_Terminate"), 1u);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  ASSERT_EQ(sim("plug"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  EXPECT_EQ(calls("ZKFPM_Init"), 2u);
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 2u);
}

TEST_F(ReaderOpeningEndToEnd, InitFailureGivesMinusOneWithoutTerminating) {
  ASSERT_EQ(sim("fail init"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), "{\"ret\":-1, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(calls("ZKFPM_Terminate"), 0u);
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 0u);
  ASSERT_EQ(sim("pass init"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
}

TEST_F(ReaderOpeningEndToEnd, CacheFailureGivesMinusThreeClosesTheReaderAndRetries) {
  ASSERT_EQ(sim("fail dbinit"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), "{\"ret\":-3, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(calls("ZKFPM_CloseDevice"), 1u);
  EXPECT_EQ(calls("ZKFPM_Terminate"), 1u);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  ASSERT_EQ(sim("pass dbinit"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  EXPECT_EQ(calls("ZKFPM_Init"), 2u);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
}

TEST_F(ReaderOpeningEndToEnd, LaterCallKeepsTheModeButDiscardsProgressAndTheWaitingTemplate) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY); // Enroll
  press("press 1");
  ASSERT_EQ(waitForImage(progressReply(-4, 1)), progressReply(-4, 1));
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
  press("press 1");
  ASSERT_EQ(waitForImage(progressReply(-4, 1)), progressReply(-4, 1)); // still enrolling
  press("press 1");
  press("press 1");
  ASSERT_EQ(waitForImage(progressReply(0, 3)), progressReply(0, 3));
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY); // the enrolled template is discarded
  EXPECT_EQ(get(GET_TEMPLATE_PATH), "{\"ret\":-4}");
  EXPECT_EQ(calls("ZKFPM_Init"), 1u);
  EXPECT_EQ(calls("ZKFPM_GetParameters:1103"), 3u);
}

TEST_F(ReaderOpeningEndToEnd, QueryFlagsAreCaseSensitiveAndNotDecoded) {
  // TYPE=2 and type%3D2 leave Enroll mode: one press is progress 1, not a template.
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?TYPE=2&type%3D2&FakeFunOn=01"), SERIAL_REPLY);
  press("fake 3"); // FakeFunOn=01 contains FakeFunOn=0: the fake check is off
  EXPECT_EQ(waitForImage(progressReply(-4, 1)), progressReply(-4, 1));
  EXPECT_EQ(calls("ZKFPM_GetParameters:2004"), 0u);
}

TEST_F(ReaderOpeningEndToEnd, FlagTextOutsideTheQueryStringIsIgnored) {
  TcpClient client;
  ASSERT_TRUE(client.connect(SERVICE_PORT));
  client.send("POST " + BEGIN_CAPTURE_PATH +
              " HTTP/1.1\r\nX-Note: type=2 FakeFunOn=0\r\n"
              "Content-Length: 20\r\n\r\ntype=2&FakeFunOn=0xx");
  EXPECT_EQ(client.readUntil("\r\n0\r\n\r\n", scaled(milliseconds(3000))), framed(SERIAL_REPLY));
  press("fake 2"); // anti-fake is on: dropped
  settle();
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0));
  press("press 2"); // Enroll: progress, not a template
  EXPECT_EQ(waitForImage(progressReply(-4, 1)), progressReply(-4, 1));
}

TEST_F(ReaderOpeningEndToEnd, SerialIsCutAtSixtyFourBytesAndEscapedAsJson) {
  ASSERT_EQ(sim("serial " + std::string(70, 'S')), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH),
            "{\"ret\":0, \"data\":{\"sn\":\"" + std::string(64, 'S') + "\"}}");
  ASSERT_EQ(sim("serial A\"B\\C"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), "{\"ret\":0, \"data\":{\"sn\":\"A\\\"B\\\\C\"}}");
}

TEST_F(ReaderOpeningEndToEnd, ZeroImageSizeStillCaptures) {
  ASSERT_EQ(sim("image 0 0"), "ok");
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  press("press 9");
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
}

TEST_F(ReaderOpeningEndToEnd, FailedSizeReadsLeaveZeroImageAndStillCapture) {
  ASSERT_EQ(sim("fail params"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2&FakeFunOn=0"), "{\"ret\":0, \"data\":{\"sn\":\"\"}}");
  press("press 9");
  EXPECT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
}

TEST_F(ReaderOpeningEndToEnd, ImpossibleImageSizeFailsTheOpenWithMinusThree) {
  for (const char* size : {"image 100000 100000", "image -1 300"}) {
    ASSERT_EQ(sim(size), "ok");
    EXPECT_EQ(get(BEGIN_CAPTURE_PATH), "{\"ret\":-3, \"data\":{\"sn\":\"\"}}") << size;
    EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  }
  EXPECT_EQ(calls("ZKFPM_CloseDevice"), 2u);
  ASSERT_EQ(sim("image 300 400"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
}

// A reader's handle dies when it is unplugged; the next beginCapture finds that out from the
// serial read, closes it and opens the reader anew once it is back.
TEST_F(ReaderOpeningEndToEnd, UnpluggedReaderIsClosedThenOpenedAgainOnceItIsBack) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY); // Enroll
  ASSERT_EQ(sim("unplug"), "ok");
  ASSERT_EQ(sim("press 1"), "ok"); // waits: the open handle captures nothing
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), "{\"ret\":-2, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  ASSERT_EQ(sim("plug"), "ok");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}"); // until a beginCapture opens it
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
  // The worker captures from the new handle: the press that waited, then two more, enrol.
  ASSERT_EQ(waitForImage(progressReply(-4, 1)), progressReply(-4, 1));
  press("press 1");
  press("press 1");
  EXPECT_EQ(waitForImage(progressReply(0, 3)), progressReply(0, 3));
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(2, 1, 0)));
  EXPECT_EQ(calls("ZKFPM_CloseDevice"), 1u);
  EXPECT_EQ(calls("ZKFPM_Terminate"), 2u);  // after closing, and when no reader was found
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 3u); // the first, none found, the reader back
  EXPECT_EQ(calls("ZKFPM_DBInit"), 2u);
}

TEST_F(CaptureEndToEnd, CancelCaptureChangesNothing) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  press("press 5");
  ASSERT_EQ(waitForImage(progressReply(0, 1)), progressReply(0, 1));
  EXPECT_EQ(get("/varuvezivuv/fingerprint/cancelCapture"), "{\"ret\":0}");
  EXPECT_EQ(get(GET_TEMPLATE_PATH), templateReply(simulatedTemplateText(1, 5, 1)));
}

} // namespace
} // namespace e2e
