#include "e2e/service_fixture.h"

#include "simulator/control_client.h"
#include "support/sdk_calls.h"

#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

void ServiceTest::SetUp() {
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(service.waitForStartLine())
      << "stdout: " << service.standardOutput() << "\nstderr: " << service.standardError();
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
      simulator::sendControlCommand(TEST_CONTROL_PORT,
                                    command + " wait=" + std::to_string(limit.count()),
                                    scaled(std::chrono::milliseconds(3000)), limit);
  return reply ? *reply : "(no reply)";
}

unsigned long ServiceTest::calls(const std::string& name) {
  return testing_support::callCount(sim("calls"), name);
}

std::string copyServiceInto(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  const fs::path binary(TOBRAN_SERVICE_BINARY);
  std::error_code error;
  fs::create_directories(folder, error);
  fs::permissions(folder,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec,
                  error);
  for (const fs::path& file : {binary, binary.parent_path() / "libzkfp.so"})
    fs::copy_file(file, folder / file.filename(), fs::copy_options::overwrite_existing, error);
  return (folder / binary.filename()).string();
}

int listenOnServicePort() {
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  if (holder < 0)
    return -1;
  // Reusable, so that connections of earlier tests left in TIME_WAIT do not stop the bind.
  const int on = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SERVICE_PORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto deadline = std::chrono::steady_clock::now() + scaled(std::chrono::milliseconds(5000));
  while (bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EADDRINUSE || std::chrono::steady_clock::now() >= deadline) {
      close(holder);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (listen(holder, 4) != 0) {
    close(holder);
    return -1;
  }
  return holder;
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
