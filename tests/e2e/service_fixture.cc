#include "e2e/service_fixture.h"

#include "simulator/control_client.h"
#include "support/sdk_calls.h"

#include <thread>

namespace e2e {

void ServiceTest::SetUp() {
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(service.waitForStartLine()) << "stdout: " << service.standardOutput()
                                          << "\nstderr: " << service.standardError();
}

void ServiceTest::TearDown() { service.kill(); }

std::string ServiceTest::sim(const std::string& command) {
  const auto reply = simulator::sendControlCommand(TEST_CONTROL_PORT, command,
                                                   scaled(std::chrono::milliseconds(3000)));
  return reply ? *reply : "(no reply)";
}

std::string ServiceTest::simWait(const std::string& command, std::chrono::milliseconds wait) {
  const auto limit = scaled(wait);
  const auto reply =
      simulator::sendControlCommand(TEST_CONTROL_PORT, command + " wait=" + std::to_string(limit.count()),
                                    scaled(std::chrono::milliseconds(3000)), limit);
  return reply ? *reply : "(no reply)";
}

unsigned long ServiceTest::calls(const std::string& name) {
  return testing_support::callCount(sim("calls"), name);
}

std::string ServiceTest::waitForImage(const std::string& body) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(std::chrono::milliseconds(3000));
  std::string last;
  while (std::chrono::steady_clock::now() < deadline) {
    last = get(GET_IMAGE_PATH);
    if (last == body)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return last;
}

} // namespace e2e
