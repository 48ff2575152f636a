// The Windows side of the platform seam, in one process: the listener's port options, the
// states of the instance lock, and the worker thread's start. Run under Wine by
// run-under-wine.sh; a lock held by another process is the end-to-end tests' part.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

class Winsock : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { WSACleanup(); }

  static int option(SOCKET socket, int name) {
    BOOL value = FALSE;
    int size = sizeof value;
    EXPECT_EQ(getsockopt(socket, SOL_SOCKET, name, reinterpret_cast<char*>(&value), &size), 0);
    return value;
  }

  // Binds to 127.0.0.1:`port` (0: any free port) and listens; the port bound, or 0.
  static unsigned short bindAndListen(SOCKET socket, unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket, 1) != 0)
      return 0;
    int size = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
  }
};

using ExclusiveListener = Winsock;

TEST_F(ExclusiveListener, TakesThePortForItselfAndNeverAsksForReuse) {
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(listener, INVALID_SOCKET);
  ASSERT_TRUE(platform::prepareExclusiveListener(static_cast<std::intptr_t>(listener)));
  EXPECT_EQ(option(listener, SO_EXCLUSIVEADDRUSE), TRUE);
  EXPECT_EQ(option(listener, SO_REUSEADDR), FALSE);
  const unsigned short port = bindAndListen(listener, 0);
  ASSERT_NE(port, 0);

  // A socket that asks to share the port is refused while the listener holds it.
  const SOCKET intruder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(intruder, INVALID_SOCKET);
  const BOOL on = TRUE;
  setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  EXPECT_EQ(bindAndListen(intruder, port), 0);
  closesocket(intruder);
  closesocket(listener);
}

TEST_F(ExclusiveListener, FailsOnAHandleThatIsNoSocket) {
  EXPECT_FALSE(platform::prepareExclusiveListener(static_cast<std::intptr_t>(INVALID_SOCKET)));
}

// Each test has a name of its own, so that tests and runs do not meet.
std::wstring uniqueLockName(const char* test) {
  std::wstring name = L"tobran-quorvel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (const char* c = test; *c != '\0'; ++c)
    name.push_back(static_cast<wchar_t>(*c));
  return name;
}

TEST(InstanceLock, FirstAskGetsItAndEveryLaterAskFindsItHeld) {
  const std::wstring name = uniqueLockName("held");
  EXPECT_EQ(platform::acquireSingleInstanceLock(name.c_str()), platform::InstanceLock::Acquired);
  EXPECT_EQ(platform::acquireSingleInstanceLock(name.c_str()),
            platform::InstanceLock::HeldElsewhere);
  EXPECT_EQ(platform::acquireSingleInstanceLock(name.c_str()),
            platform::InstanceLock::HeldElsewhere);
  // The lock lives in this logon's namespace: no global object of that name was made.
  const std::wstring global = L"Global\\" + name;
  HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, global.c_str());
  EXPECT_EQ(other, nullptr);
  if (other != nullptr)
    CloseHandle(other);
}

TEST(InstanceLock, ProbeSeesItHeldOnlyOnceTakenAndKeepsNothing) {
  const std::wstring name = uniqueLockName("probed");
  EXPECT_EQ(platform::singleInstanceLockHeld(name.c_str()), platform::LockProbe::NotHeld);
  // The probe made no mutex: the first ask still gets the lock.
  EXPECT_EQ(platform::acquireSingleInstanceLock(name.c_str()), platform::InstanceLock::Acquired);
  EXPECT_EQ(platform::singleInstanceLockHeld(name.c_str()), platform::LockProbe::Held);
  EXPECT_EQ(platform::singleInstanceLockHeld(name.c_str()), platform::LockProbe::Held);
}

TEST(InstanceLock, IsTheNamedMutexOwnedByTheThreadThatTookIt) {
  const std::wstring name = uniqueLockName("owned");
  ASSERT_EQ(platform::acquireSingleInstanceLock(name.c_str()), platform::InstanceLock::Acquired);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  // Another thread cannot take a mutex this thread owns...
  DWORD fromOtherThread = 0;
  std::thread([&] { fromOtherThread = WaitForSingleObject(mutex, 0); }).join();
  EXPECT_EQ(fromOtherThread, static_cast<DWORD>(WAIT_TIMEOUT));
  // ...while the owner may take it again.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

TEST(InstanceLock, NameThatCannotBeAMutexLeavesItUnavailable) {
  // A name with a backslash names an object in another namespace, which does not exist.
  EXPECT_EQ(platform::acquireSingleInstanceLock(L"no-such-namespace\\tobran-quorvel"),
            platform::InstanceLock::Unavailable);
}

std::atomic<DWORD> entryThread{0};
int recordThread() {
  entryThread = GetCurrentThreadId();
  return 0;
}

TEST(Thread, RunsTheEntryAtOnceOnAThreadOfItsOwn) {
  platform::ThreadHandle handle;
  ASSERT_TRUE(platform::startThread(recordThread, handle));
  EXPECT_NE(handle.native, 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (entryThread == 0 && std::chrono::steady_clock::now() < deadline)
    platform::sleepMilliseconds(5);
  EXPECT_NE(entryThread.load(), 0u);
  EXPECT_NE(entryThread.load(), GetCurrentThreadId());
  const HANDLE thread = reinterpret_cast<HANDLE>(handle.native);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(GetThreadId(thread), entryThread.load());
}

TEST(Sleep, BlocksForAboutTheTimeAsked) {
  const auto start = std::chrono::steady_clock::now();
  platform::sleepMilliseconds(100);
  const auto slept = std::chrono::steady_clock::now() - start;
  EXPECT_GE(slept, std::chrono::milliseconds(90));
  EXPECT_LT(slept, std::chrono::seconds(5));
}

} // namespace
