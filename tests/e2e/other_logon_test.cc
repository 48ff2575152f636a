// A copy of the service started in another logon session: the instance lock is per logon, so
// the copy passes it and fails at the port instead. TOBRAN_OTHER_LOGON_COMMAND is the command
// line that starts the service in another logon (split at spaces); where it is unset the case
// is skipped, as on Linux, where a copy of another user stands in for it.
#include "e2e/service_fixture.h"

#include <cstdlib>
#include <string>

namespace e2e {
namespace {

using std::chrono::milliseconds;

using ServiceStartup = ServiceTest;

TEST_F(ServiceStartup, CopyInAnotherLogonPassesTheLockAndFailsAtThePort) {
  const char* otherLogon = std::getenv("TOBRAN_OTHER_LOGON_COMMAND");
  if (otherLogon == nullptr)
    GTEST_SKIP() << "TOBRAN_OTHER_LOGON_COMMAND names no command for another logon";
  const char* inherited = std::getenv("TOBRAN_SERVICE_COMMAND");
  const std::string saved = inherited != nullptr ? inherited : "";
  setenv("TOBRAN_SERVICE_COMMAND", otherLogon, 1);
  ServiceProcess other;
  const bool started = other.start();
  if (inherited != nullptr)
    setenv("TOBRAN_SERVICE_COMMAND", saved.c_str(), 1);
  else
    unsetenv("TOBRAN_SERVICE_COMMAND");
  ASSERT_TRUE(started);
  // The first start in another logon also starts that logon's own helpers: a longer wait.
  EXPECT_EQ(other.waitForExit(scaled(milliseconds(15000))), 1);
  EXPECT_EQ(other.standardError(), "Error starting server on port 22001\n");
  EXPECT_EQ(other.standardOutput(), "");
  EXPECT_EQ(get("/varuvezivuv/info"), "{\"ret\":-1}");
}

} // namespace
} // namespace e2e
