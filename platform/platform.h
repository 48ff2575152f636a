// The operating-system seam: the few things the service takes from the platform beyond what
// Asio's public interface gives. platform_posix.cc and platform_windows.cc implement it; CMake
// compiles exactly one.
// Nothing outside this folder branches on the platform.
//
// Thread safety: every function may be called from any thread. None of them throws.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// What happened when the process asked for the per-logon single-instance lock.
enum class InstanceLock {
  Acquired,      // this process now holds the lock until it ends
  HeldElsewhere, // another process of the same user logon holds it
  Unavailable,   // the lock could not be created; the caller goes on without it
};

// Takes the named per-logon lock and keeps it for the life of the process; the operating
// system drops it when the process ends, however it ends. `name` is the lock's wide-character
// name. When the lock is held elsewhere nothing is kept.
InstanceLock acquireSingleInstanceLock(const wchar_t* name);

// Whether a process of this user logon holds the named lock now, asked without keeping it: for
// a program that diagnoses the service from outside. The probe itself takes the lock for an
// instant where the platform has no other way to ask, so a copy starting at that very instant
// may see it held. Creates nothing.
enum class LockProbe { Held, NotHeld, Unknown };
LockProbe singleInstanceLockHeld(const wchar_t* name);

// Starts a thread that runs `entry` at once and is never joined. Returns false when the thread
// could not be started.
using ThreadEntry = int (*)();
struct ThreadHandle {
  std::uintptr_t native = 0; // pthread_t or HANDLE; kept, never closed
};
bool startThread(ThreadEntry entry, ThreadHandle& handle);

// Blocks the calling thread for about `milliseconds`.
void sleepMilliseconds(unsigned milliseconds);

// Sets the options a listening socket needs before bind, given its native handle: the port is
// taken for this socket alone (SO_EXCLUSIVEADDRUSE on Windows), while on POSIX a port left in
// TIME_WAIT by an earlier run can be bound again (SO_REUSEADDR, which there never lets two
// listeners share a port). Returns false when an option could not be set.
bool prepareExclusiveListener(std::intptr_t nativeSocket);

// Raises the process's soft limit on open descriptors to its hard limit, where the platform
// has such a limit, so that the default user limits leave room for thousands of connections.
// Returns the soft limit now in force, or 0 where descriptors have no per-process limit.
std::size_t raiseDescriptorLimit();

} // namespace platform
