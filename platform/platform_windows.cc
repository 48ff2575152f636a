// Windows side of the platform seam: the per-logon instance lock is a named mutex in the
// session's own namespace, threads come from CreateThread, and a listener takes its port with
// SO_EXCLUSIVEADDRUSE so that no other socket can bind it while the service holds it.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {
namespace {

DWORD WINAPI runThreadEntry(LPVOID boxedEntry) {
  const ThreadEntry entry = *static_cast<ThreadEntry*>(boxedEntry);
  delete static_cast<ThreadEntry*>(boxedEntry);
  return static_cast<DWORD>(entry());
}

} // namespace

InstanceLock acquireSingleInstanceLock(const wchar_t* name) {
  // No security attributes, initial ownership asked for, and the bare name: without a
  // "Global\" prefix the mutex lives in this logon session's namespace, so another logon
  // passes it and meets the exclusive port instead.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
  if (mutex == nullptr)
    return InstanceLock::Unavailable;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // The mutex is the other copy's. This process was never granted ownership, so the release
    // does nothing useful, and its result is not looked at; the handle is not kept either.
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return InstanceLock::HeldElsewhere;
  }
  // The handle stays open until the process ends; Windows then drops the mutex.
  return InstanceLock::Acquired;
}

bool startThread(ThreadEntry entry, ThreadHandle& handle) {
  auto* boxedEntry = new ThreadEntry(entry);
  // No security attributes, the default stack size, running at once.
  HANDLE thread = CreateThread(nullptr, 0, runThreadEntry, boxedEntry, 0, nullptr);
  if (thread == nullptr) {
    delete boxedEntry;
    return false;
  }
  handle.native = reinterpret_cast<std::uintptr_t>(thread);
  return true;
}

void sleepMilliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}

bool prepareExclusiveListener(std::intptr_t nativeSocket) {
  // Never SO_REUSEADDR here: on Windows it would let another socket bind the same port and
  // steal connections.
  const BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                    reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

} // namespace platform
