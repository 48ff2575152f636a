// The process: its one start-up line, the single-instance lock and the exclusive port; and the
// status replies of a fresh service, byte for byte.
#include "e2e/service_fixture.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
  const int holder = listenOnServicePort();
  ASSERT_GE(holder, 0) << std::strerror(errno);

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
  const std::string command =
      "setpriv --reuid=65534 --regid=65534 --clear-groups " + copyServiceInto(copy);
  std::error_code error;
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

// The service run as a throw-away user whose runtime folder is missing or not its own: the lock
// goes into a folder of the user's home, which no other user can take first.
class ServiceStartupLockFolder : public ::testing::Test {
 protected:
  static constexpr uid_t USER = 64999;
  static constexpr uid_t OTHER_USER = 65534; // "nobody"
  const std::string USER_ID = std::to_string(USER);

  void SetUp() override {
    if (geteuid() != 0 || std::getenv("TOBRAN_SERVICE_COMMAND") != nullptr)
      GTEST_SKIP() << "needs root to start copies as another user, and the native build";
    // In a chroot whose root is no mount point, no mount namespace of its own can be made
    // private, and mounting there could reach the host's /tmp.
    if (std::system("unshare --mount --propagation private true 2>/dev/null") != 0)
      GTEST_SKIP() << "cannot make a private mount namespace here (a chroot?)";
    // Outside /tmp, which each copy sees replaced by an empty one.
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    ASSERT_EQ(chmod(base.c_str(), 0755), 0); // the user must reach its home
    home = base + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), USER, USER), 0);
    // The password database, as the user's copies see it, knows the user and its home.
    std::ifstream passwd("/etc/passwd");
    std::ofstream(base + "/passwd") << passwd.rdbuf() << "tobran-lock-test:x:" << USER_ID << ":"
                                    << USER_ID << "::" << home << ":/usr/sbin/nologin\n";
    chmod((base + "/passwd").c_str(), 0644);
    service = copyServiceInto(base + "/bin");
  }
  void TearDown() override {
    if (!base.ends_with("XXXXXX"))
      std::filesystem::remove_all(base);
  }

  // Starts a copy as the user in a mount namespace of its own (unshare and sh exec in turn, so
  // the process id is the service's): another user's folders sit in the runtime folder's place
  // and in /tmp/tobran-quorvel-<uid>, where the lock once fell back to.
  bool startAsUser(ServiceProcess& copy) {
    const std::string script = base + "/start.sh";
    std::ofstream(script) << "set -e\n"
                          << "mount --bind " << base << "/passwd /etc/passwd\n"
                          << "mount -t tmpfs -o mode=1777 tobran-test /tmp\n"
                          << "mount -t tmpfs -o mode=755 tobran-test /run\n"
                          << "mkdir -m 755 /run/user\n"
                          << "mkdir -m 700 /run/user/" << USER_ID << " /tmp/tobran-quorvel-"
                          << USER_ID << "\n"
                          << "chown " << OTHER_USER << " /run/user/" << USER_ID
                          << " /tmp/tobran-quorvel-" << USER_ID << "\n"
                          << "exec setpriv --reuid=" << USER_ID << " --regid=" << USER_ID
                          << " --clear-groups " << service << "\n";
    setenv("TOBRAN_SERVICE_COMMAND", ("unshare --mount --propagation private sh " + script).c_str(),
           1);
    const bool started = copy.start();
    unsetenv("TOBRAN_SERVICE_COMMAND");
    return started;
  }

  std::string base = "/var/tmp/tobran-lock-test-XXXXXX";
  std::string home;
  std::string service; // a copy the user can run
};

TEST_F(ServiceStartupLockFolder, OtherUsersFoldersInTheWayDoNotCostTheLock) {
  ServiceProcess first;
  ASSERT_TRUE(startAsUser(first));
  ASSERT_TRUE(first.waitForStartLine()) << first.standardError();
  EXPECT_EQ(chunkedBody(httpGet("/varuvezivuv/info")), "{\"ret\":-1}");

  ServiceProcess second;
  ASSERT_TRUE(startAsUser(second));
  EXPECT_EQ(second.waitForExit(scaled(milliseconds(5000))), 0) << second.standardError();

  struct stat folder = {};
  ASSERT_EQ(lstat((home + "/.cache/tobran-quorvel").c_str(), &folder), 0);
  EXPECT_TRUE(S_ISDIR(folder.st_mode));
  EXPECT_EQ(folder.st_uid, USER);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_FALSE(first.waitForExit(milliseconds(0)).has_value());
}

using StatusRepliesEndToEnd = ServiceTest;

TEST_F(StatusRepliesEndToEnd, FreshServiceAnswersEachRouteByteForByte) {
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
