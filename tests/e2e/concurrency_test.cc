// Many clients polling getImage and getTemplate hard while the worker captures and enrols, and
// beginCapture resets in between. Run under ThreadSanitizer (make test-tsan), any report the
// service writes to its standard error fails the test.
#include "e2e/service_fixture.h"

#include "simulator/simulated_templates.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace e2e {
namespace {

using std::chrono::milliseconds;

constexpr int POLLERS = 6;
constexpr int ENROLMENTS = 5;
constexpr std::uint32_t FINGER = 21;

const std::string POLL = "GET /varuvezivuv/fingerprint/getImage HTTP/1.1\r\n\r\n"
                         "GET /varuvezivuv/fingerprint/getTemplate HTTP/1.1\r\n\r\n";

std::string mergedReply() {
  std::vector<std::uint8_t> blob(2048, 0);
  simulator::writeTemplate(simulator::MERGED_TEMPLATE, FINGER, 0, blob.data(),
                           simulator::mergedTemplateLength(FINGER));
  return "{\"ret\":0, \"data\":{\"template\":\"" +
         simulator::encodeBase64(blob.data(), blob.size()) + "\"}}";
}

class Concurrency : public ServiceTest {
 protected:
  void TearDown() override {
    stop = true;
    for (std::thread& poller : pollers)
      poller.join();
    EXPECT_EQ(service.standardError(), "");
    ServiceTest::TearDown();
  }

  // Each poller keeps one connection and sends getImage and getTemplate back to back, keeping
  // every template it is handed.
  void startPollers() {
    for (int i = 0; i < POLLERS; ++i)
      pollers.emplace_back([this] {
        TcpClient client;
        if (!client.connect(SERVICE_PORT))
          return;
        while (!stop) {
          client.send(POLL);
          // Two replies: each ends with the last chunk.
          std::string replies = client.readUntil("\r\n0\r\n\r\n", scaled(milliseconds(3000)));
          if (replies.find("\r\n0\r\n\r\n") + 7 == replies.size())
            replies += client.readUntil("\r\n0\r\n\r\n", scaled(milliseconds(3000)));
          ++polls;
          const std::size_t at = replies.find("{\"ret\":0, \"data\":{\"template\"");
          if (at != std::string::npos) {
            std::lock_guard lock(mutex);
            received.push_back(replies.substr(at, replies.find("\r\n", at) - at));
          }
        }
      });
  }
  std::size_t receivedCount() {
    std::lock_guard lock(mutex);
    return received.size();
  }

  std::vector<std::thread> pollers;
  std::atomic<bool> stop{false};
  std::atomic<long> polls{0};
  std::mutex mutex;
  std::vector<std::string> received;
};

TEST_F(Concurrency, EveryEnrolledTemplateIsHandedOverExactlyOnceUnderHardPolling) {
  ASSERT_EQ(get("/varuvezivuv/fingerprint/beginCapture").substr(0, 9), "{\"ret\":0,");
  startPollers();
  for (int enrolment = 1; enrolment <= ENROLMENTS; ++enrolment) {
    for (int press = 0; press < 3; ++press)
      ASSERT_EQ(sim("press " + std::to_string(FINGER)), "ok");
    const auto deadline = std::chrono::steady_clock::now() + scaled(milliseconds(5000));
    while (receivedCount() < static_cast<std::size_t>(enrolment) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(10));
    ASSERT_EQ(receivedCount(), static_cast<std::size_t>(enrolment));
  }
  stop = true;
  for (std::thread& poller : pollers)
    poller.join();
  pollers.clear();
  EXPECT_GT(polls.load(), 100);
  for (const std::string& reply : received)
    EXPECT_EQ(reply, mergedReply());
  EXPECT_EQ(get("/varuvezivuv/fingerprint/getTemplate"), "{\"ret\":-4}");
}

TEST_F(Concurrency, BeginCaptureResettingWhileCapturingLeavesAConsistentState) {
  ASSERT_EQ(get("/varuvezivuv/fingerprint/beginCapture?type=2").substr(0, 9), "{\"ret\":0,");
  startPollers();
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(sim("press " + std::to_string(round)), "ok");
    std::this_thread::sleep_for(milliseconds(round % 3 * 40));
    EXPECT_EQ(get("/varuvezivuv/fingerprint/beginCapture").substr(0, 9), "{\"ret\":0,");
  }
  stop = true;
  for (std::thread& poller : pollers)
    poller.join();
  pollers.clear();
  // Whatever was handed over was a whole template of a pressed finger.
  for (const std::string& reply : received)
    EXPECT_EQ(reply.size(), std::string("{\"ret\":0, \"data\":{\"template\":\"\"}}").size() + 2732);
  // And capturing still works.
  get("/varuvezivuv/fingerprint/getTemplate");
  ASSERT_EQ(sim("press 99"), "ok");
  EXPECT_EQ(waitForImage("{\"ret\":0, \"data\":{\"enroll_index\":1}}"),
            "{\"ret\":0, \"data\":{\"enroll_index\":1}}");
}

} // namespace
} // namespace e2e
