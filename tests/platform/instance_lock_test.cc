// The POSIX single-instance lock as a diagnosis probes it: held only once some open file holds
// it, and the probe itself keeps nothing.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

TEST(InstanceLockProbe, SeesTheLockHeldOnlyOnceTakenAndKeepsNothing) {
  const std::string narrow = "tobran-probe-test-" + std::to_string(getpid());
  const std::wstring name(narrow.begin(), narrow.end());
  EXPECT_EQ(platform::singleInstanceLockHeld(name.c_str()), platform::LockProbe::NotHeld);
  ASSERT_EQ(platform::acquireSingleInstanceLock(name.c_str()), platform::InstanceLock::Acquired);
  EXPECT_EQ(platform::singleInstanceLockHeld(name.c_str()), platform::LockProbe::Held);
  // The probe let go of its own file at once: the lock is still this process's alone.
  EXPECT_EQ(platform::singleInstanceLockHeld(name.c_str()), platform::LockProbe::Held);
  EXPECT_EQ(platform::acquireSingleInstanceLock(name.c_str()),
            platform::InstanceLock::HeldElsewhere);
  // The lock file, in whichever of the lock's folders it went.
  const char* home = std::getenv("HOME");
  unlink(("/run/user/" + std::to_string(getuid()) + "/" + narrow + ".lock").c_str());
  unlink((std::string(home != nullptr ? home : "") + "/.cache/tobran-quorvel/" + narrow + ".lock")
             .c_str());
}

} // namespace
