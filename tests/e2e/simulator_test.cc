// The simulated reader as a script drives it through the real service: no reader without a
// control channel, waited presses that a status request sees at once, a control channel that
// no client can hold up, a bounded queue, and reset while the service has the reader open.
#include "e2e/service_fixture.h"

#include <thread>

namespace e2e {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(SimulatorNoChannel, WithoutAControlChannelNoReaderIsAttached) {
  ServiceProcess service;
  service.nameControlChannel = false;
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(service.waitForStartLine()) << service.standardError();
  EXPECT_EQ(chunkedBody(httpGet(BEGIN_CAPTURE_PATH)), "{\"ret\":-2, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(chunkedBody(httpGet(BEGIN_CAPTURE_PATH + "?type=2")),
            "{\"ret\":-2, \"data\":{\"sn\":\"\"}}");
  EXPECT_EQ(chunkedBody(httpGet("/varuvezivuv/info")), "{\"ret\":-1}");
}

using Simulator = ServiceTest;

// The service's work on each capture is slowed down, so that a reply that came before the
// service had finished with the press would show in the status request sent next.
TEST_F(Simulator, WaitedPressIsSeenByTheVeryNextStatusRequestEveryTime) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2&FakeFunOn=1"), SERIAL_REPLY);
  ASSERT_EQ(sim("slow 30"), "ok");
  for (int round = 0; round < 12; ++round) {
    ASSERT_EQ(simWait("press " + std::to_string(round)), "ok captured") << round;
    ASSERT_EQ(get(GET_IMAGE_PATH), progressReply(0, 1)) << round;
    ASSERT_EQ(get(GET_TEMPLATE_PATH).substr(0, 30), testing_support::TEMPLATE_REPLY_START) << round;
    ASSERT_EQ(simWait("fake 1"), "ok fake") << round;
    ASSERT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0)) << round;
  }
}

TEST_F(Simulator, WaitedEnrolmentPressesShowEachStepAtOnce) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  ASSERT_EQ(sim("slow 30"), "ok");
  for (int round = 0; round < 4; ++round) {
    for (int pressed = 1; pressed <= 3; ++pressed) {
      ASSERT_EQ(simWait("press 7"), "ok captured");
      ASSERT_EQ(get(GET_IMAGE_PATH), progressReply(pressed == 3 ? 0 : -4, pressed)) << round;
    }
    ASSERT_EQ(get(GET_TEMPLATE_PATH).substr(0, 30), "{\"ret\":0, \"data\":{\"template\":\"");
    ASSERT_EQ(simWait("press 7"), "ok captured");
    ASSERT_EQ(simWait("press 8"), "ok captured"); // another finger: starts over
    ASSERT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0)) << round;
  }
}

TEST_F(Simulator, PressNotTakenInTimeIsWithdrawn) {
  // No beginCapture: nothing captures.
  EXPECT_EQ(simWait("press 1", milliseconds(200)), "error timeout");
  EXPECT_EQ(sim("pending"), "ok 0");
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  std::this_thread::sleep_for(scaled(milliseconds(300)));
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(-4, 0)); // the withdrawn press never shows up
}

TEST_F(Simulator, QueueIsBoundedAndResetDropsWaitingPresses) {
  ASSERT_EQ(sim("pending"), "ok 0"); // the channel is up
  TcpClient waiter;
  ASSERT_TRUE(waiter.connect(TEST_CONTROL_PORT));
  ASSERT_TRUE(waiter.send("press 9 wait=60000\n"));
  for (int i = 1; i < 64; ++i)
    ASSERT_EQ(sim("press 1"), "ok") << i;
  EXPECT_EQ(sim("press 1"), "error queue full (64 presses pending)");
  EXPECT_EQ(sim("pending"), "ok 64");
  ASSERT_EQ(sim("reset"), "ok");
  EXPECT_EQ(waiter.readUntil("\n", scaled(milliseconds(2000))), "ok dropped\n");
  EXPECT_EQ(sim("pending"), "ok 0");
}

TEST_F(Simulator, NoClientHoldsUpAnother) {
  ASSERT_EQ(sim("pending"), "ok 0"); // the channel is up
  TcpClient idle, halfLine, waiting, flooding, overlong;
  ASSERT_TRUE(idle.connect(TEST_CONTROL_PORT));
  ASSERT_TRUE(halfLine.connect(TEST_CONTROL_PORT));
  ASSERT_TRUE(halfLine.send("pend"));
  ASSERT_TRUE(waiting.connect(TEST_CONTROL_PORT));
  ASSERT_TRUE(waiting.send("press 2 wait=60000\n"));
  // Commands by the thousand, no reply ever read.
  ASSERT_TRUE(flooding.connect(TEST_CONTROL_PORT));
  std::string flood;
  for (int i = 0; i < 2000; ++i)
    flood += "calls\n";
  for (int i = 0; i < 5; ++i)
    flooding.send(flood);

  for (int i = 0; i < 5; ++i) {
    const auto started = Clock::now();
    EXPECT_EQ(sim("pending"), "ok 1");
    EXPECT_LT(Clock::now() - started, scaled(milliseconds(500)));
  }
  // A line beyond the limit closes that client alone.
  ASSERT_TRUE(overlong.connect(TEST_CONTROL_PORT));
  overlong.send(std::string(5000, 'x'));
  overlong.readFor(scaled(milliseconds(1000)));
  EXPECT_TRUE(overlong.peerClosed());
  EXPECT_EQ(sim("help").substr(0, 3), "ok ");
  // The others are still served.
  ASSERT_TRUE(halfLine.send("ing\n"));
  EXPECT_EQ(halfLine.readUntil("\n", scaled(milliseconds(2000))), "ok 1\n");
  ASSERT_TRUE(idle.send("pending\n"));
  EXPECT_EQ(idle.readUntil("\n", scaled(milliseconds(2000))), "ok 1\n");
}

TEST_F(Simulator, ResetWhileTheReaderIsOpenKeepsItCapturing) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2"), SERIAL_REPLY);
  ASSERT_EQ(sim("serial OTHER"), "ok");
  ASSERT_EQ(sim("reset"), "ok");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":0}");
  ASSERT_EQ(simWait("press 4"), "ok captured");
  EXPECT_EQ(get(GET_IMAGE_PATH), progressReply(0, 1));
  EXPECT_EQ(get(GET_TEMPLATE_PATH).substr(0, 30), "{\"ret\":0, \"data\":{\"template\":\"");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH), SERIAL_REPLY);
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 0u); // the same handle all along
}

TEST_F(Simulator, SerialThatIsNotUtf8OrCutInsideACharacterStillGivesValidJson) {
  // 63 ASCII bytes then a three-byte character: the cut at 64 bytes falls inside it.
  ASSERT_EQ(sim("serial " + std::string(63, 'S') + "\xe2\x82\xac"), "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH),
            "{\"ret\":0, \"data\":{\"sn\":\"" + std::string(63, 'S') + "\"}}");
  ASSERT_EQ(sim("serial A\xff\xfe"
                "B\xe2\x82\xac\t\"q\""),
            "ok");
  EXPECT_EQ(get(BEGIN_CAPTURE_PATH),
            "{\"ret\":0, \"data\":{\"sn\":\"A\\ufffd\\ufffdB\xe2\x82\xac\\u0009\\\"q\\\"\"}}");
}

// reader-sim: a command line it does not understand has a status of its own, apart from 2, "no
// reader answers"; asked for, the usage is no failure.
TEST(SimulatorTool, UsageHasAStatusOfItsOwn) {
  const auto run = [](const std::string& arguments) {
    ServiceProcess tool;
    tool.useProgram(TOBRAN_READER_SIM_BINARY " " + arguments);
    EXPECT_TRUE(tool.start());
    const int status = tool.waitForExit(scaled(milliseconds(5000))).value_or(-1);
    return std::pair{status, tool.standardOutput()};
  };
  const auto [helpStatus, help] = run("--help");
  EXPECT_EQ(helpStatus, 0);
  EXPECT_EQ(help.substr(0, 17), "usage: reader-sim");
  EXPECT_EQ(run("").first, 64);
  EXPECT_EQ(run("--port").first, 64);
  EXPECT_EQ(run("--port 1 pending").first, 2);
}

} // namespace
} // namespace e2e
