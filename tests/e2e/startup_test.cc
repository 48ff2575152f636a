// The process: its one start-up line, the single-instance lock and the exclusive port; and the
// status replies of a fresh service, byte for byte.
#include "e2e/service_fixture.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace e2e {
namespace {

using std::chrono::milliseconds;

using ServiceStartup = ServiceTest;

TEST_F(ServiceStartup, PrintsOneStartLineAndDoesNotTouchTheReader) {
  EXPECT_EQ(service.standardOutput(), "Starting RESTful server on port 22001\n");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  EXPECT_EQ(sim("calls"), "ok"); // no SDK call before the first beginCapture
  EXPECT_EQ(service.standardError(), "");
}

TEST_F(ServiceStartup, SecondCopyExitsZeroAndTheFirstKeepsAnswering) {
  ServiceProcess second;
  ASSERT_TRUE(second.start());
  EXPECT_EQ(second.waitForExit(scaled(milliseconds(5000))), 0);
  EXPECT_EQ(second.standardOutput(), "");
  EXPECT_EQ(second.standardError(), "");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
  EXPECT_FALSE(service.waitForExit(milliseconds(0)).has_value());
}

TEST(ServiceStartupPortHeld, AnotherSocketOnThePortGivesTheErrorLineAndExitOne) {
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  // Reusable, so that connections of earlier tests left in TIME_WAIT do not stop the bind.
  const int on = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SERVICE_PORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // The service of an earlier test may hold the port a moment after its process has ended:
  // under Wine the wineserver closes a dead process's sockets only once it notices the end.
  const auto deadline = std::chrono::steady_clock::now() + scaled(milliseconds(5000));
  int bound = -1;
  while ((bound = bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address)) != 0 &&
         errno == EADDRINUSE && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(bound, 0) << std::strerror(errno);
  ASSERT_EQ(listen(holder, 1), 0);

  ServiceProcess service;
  ASSERT_TRUE(service.start());
  EXPECT_EQ(service.waitForExit(scaled(milliseconds(5000))), 1);
  EXPECT_EQ(service.standardError(), "Error starting server on port 22001\n");
  EXPECT_EQ(service.standardOutput(), "");
  close(holder);
}

TEST_F(ServiceStartup, CopyOfAnotherUserPassesTheLockAndFailsAtThePort) {
  if (geteuid() != 0 || std::getenv("TOBRAN_SERVICE_COMMAND") != nullptr)
    GTEST_SKIP() << "needs root to start a copy as another user, and the native build";
  // The same binary started as user "nobody": its own lock, then the port is taken. It runs
  // from a copy in a folder that user can read, with its library beside it, since the build
  // may sit in a private folder (a checkout under /root or a 0700 home).
  namespace fs = std::filesystem;
  char folder[] = "/tmp/tobran-other-user.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path copy(folder);
  const fs::path binary(TOBRAN_SERVICE_BINARY);
  std::error_code error;
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec, error);
  for (const fs::path& file : {binary, binary.parent_path() / "libzkfp.so"})
    fs::copy_file(file, copy / file.filename(), error);
  const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                              (copy / binary.filename()).string();
  setenv("TOBRAN_SERVICE_COMMAND", command.c_str(), 1);
  ServiceProcess other;
  const bool started = other.start();
  unsetenv("TOBRAN_SERVICE_COMMAND");
  ASSERT_TRUE(started);
  const auto status = other.waitForExit(scaled(milliseconds(5000)));
  fs::remove_all(copy, error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(status, 1) << other.standardError();
  EXPECT_EQ(other.standardError(), "Error starting server on port 22001\n");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
}

using StatusReplies = ServiceTest;

TEST_F(StatusReplies, FreshServiceAnswersEachRouteByteForByte) {
  EXPECT_EQ(httpGet("/varuvezivuv/info"), framed("{\"ret\":-1}"));
  EXPECT_EQ(httpGet("/varuvezivuv/fingerprint/getImage"),
            framed("{\"ret\":-4, \"data\":{\"enroll_index\":0}}"));
  EXPECT_EQ(httpGet("/varuvezivuv/fingerprint/getTemplate"), framed("{\"ret\":-4}"));
  EXPECT_EQ(httpGet("/varuvezivuv/fingerprint/cancelCapture"), framed("{\"ret\":0}"));
  EXPECT_EQ(httpGet("/varuvezivuv/fingerprint/cancelCapture"),
            REPLY_HEAD + "9\r\n{\"ret\":0}\r\n0\r\n\r\n");
}

} // namespace
} // namespace e2e
