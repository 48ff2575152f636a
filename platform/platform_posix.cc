// POSIX side of the platform seam: the per-user instance lock is an flock() on a file in the
// user's runtime directory, threads are pthreads.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace platform {
namespace {

// The lock file is named after the lock; a wide name is narrowed byte by byte, which is exact
// for the ASCII names the service uses and harmless otherwise.
std::string lockFileName(const wchar_t* name) {
  std::string narrow;
  for (const wchar_t* c = name; *c != L'\0'; ++c)
    narrow.push_back(*c >= 0x20 && *c < 0x7f && *c != L'/' ? static_cast<char>(*c) : '_');
  return narrow + ".lock";
}

// A directory only this user can write to: the login session's runtime directory, or else one
// of its own under /tmp, which must not be a link and must belong to the user, so that nobody
// else can hold the lock on the user's behalf.
std::string privateDirectory() {
  const uid_t uid = getuid();
  struct stat info{};
  const std::string runtime = "/run/user/" + std::to_string(uid);
  if (stat(runtime.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
      access(runtime.c_str(), W_OK) == 0)
    return runtime;

  const std::string fallback = "/tmp/tobran-quorvel-" + std::to_string(uid);
  if (mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST)
    return {};
  if (lstat(fallback.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid ||
      (info.st_mode & 0077) != 0)
    return {};
  return fallback;
}

void* runThreadEntry(void* boxedEntry) {
  const ThreadEntry entry = *static_cast<ThreadEntry*>(boxedEntry);
  delete static_cast<ThreadEntry*>(boxedEntry);
  entry();
  return nullptr;
}

} // namespace

InstanceLock acquireSingleInstanceLock(const wchar_t* name) {
  const std::string directory = privateDirectory();
  if (directory.empty())
    return InstanceLock::Unavailable;
  const std::string path = directory + "/" + lockFileName(name);
  // The descriptor is kept open for the life of the process: closing it would drop the lock.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return InstanceLock::Unavailable;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0)
    return InstanceLock::Acquired;
  const bool held = errno == EWOULDBLOCK;
  close(fd);
  return held ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
}

bool startThread(ThreadEntry entry, ThreadHandle& handle) {
  pthread_t thread{};
  auto* boxedEntry = new ThreadEntry(entry);
  if (pthread_create(&thread, nullptr, runThreadEntry, boxedEntry) != 0) {
    delete boxedEntry;
    return false;
  }
  pthread_detach(thread);
  handle.native = static_cast<std::uintptr_t>(thread);
  return true;
}

void sleepMilliseconds(unsigned milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

bool prepareExclusiveListener(std::intptr_t nativeSocket) {
  const int on = 1;
  return setsockopt(static_cast<int>(nativeSocket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

std::size_t raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit cannot be the soft one (the kernel caps it at fs.nr_open): the
    // soft limit then stays as it was.
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::size_t>(limit.rlim_cur);
}

} // namespace platform
