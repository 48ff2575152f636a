// Windows side of the platform seam: the per-logon instance lock is a named mutex in the
// session's own namespace, threads come from CreateThread, and a listener takes its port with
// SO_EXCLUSIVEADDRUSE so that no other socket can bind it while the service holds it.
//
// Standard output and error are switched to binary when the program loads, so that a line
// written with "\n" ends in a line feed alone, the same bytes as on every other platform,
// instead of the C runtime's text-mode "\r\n".
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace platform {
namespace {

// A program started without standard streams (a GUI-subsystem program with nothing
// redirected) has no descriptor for them; those are left alone.
bool makeBinary(std::FILE* stream) {
  const int descriptor = _fileno(stream);
  return descriptor >= 0 && _setmode(descriptor, _O_BINARY) != -1;
}

// Runs before main(), in the service and in every other program or library built with the seam.
[[maybe_unused]] const bool standardOutputBinary = makeBinary(stdout);
[[maybe_unused]] const bool standardErrorBinary = makeBinary(stderr);

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
    // The mutex already existed, so the initial ownership asked for was not granted: when
    // another process holds it, the release fails harmlessly, and its result is not looked
    // at. The handle is not kept either.
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return InstanceLock::HeldElsewhere;
  }
  // The handle stays open until the process ends; Windows then drops the mutex.
  return InstanceLock::Acquired;
}

LockProbe singleInstanceLockHeld(const wchar_t* name) {
  // The running copy keeps its handle for life, so the mutex exists exactly while one runs.
  // Opening it does not take it, but a copy starting while this handle is open sees it exist.
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
  if (mutex != nullptr) {
    CloseHandle(mutex);
    return LockProbe::Held;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND)
    return LockProbe::NotHeld;
  return error == ERROR_ACCESS_DENIED ? LockProbe::Held : LockProbe::Unknown;
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

void sleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

bool prepareExclusiveListener(std::intptr_t nativeSocket) {
  // Never SO_REUSEADDR here: on Windows it would let another socket bind the same port and
  // steal connections.
  const BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                    reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// Windows has no per-process limit on sockets: they are bounded by memory alone.
std::size_t raiseDescriptorLimit() { return 0; }

} // namespace platform
