// POSIX side of the platform seam: the per-user instance lock is an flock() on a file in a
// folder only the user controls, threads are pthreads.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
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

// A descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0)
      close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// What a folder on the way to the lock must be: a folder of this user's that nobody else may
// write to, since what is in a folder another user can write to could be swapped under us.
bool isOwnFolder(int fd) {
  struct stat info = {};
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens `name` in the folder `parent` (openat semantics), making it 0700 first when `create`
// and it is missing. With `followLink` false a link there is refused. An invalid descriptor
// unless it is one of the user's own folders (isOwnFolder).
Descriptor openOwnFolder(int parent, const char* name, bool create, bool followLink) {
  if (create && mkdirat(parent, name, 0700) != 0 && errno != EEXIST)
    return Descriptor();
  Descriptor folder(
      openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
  if (folder.get() < 0 || !isOwnFolder(folder.get()))
    return Descriptor();
  return folder;
}

// The user's home folder as the password database has it: not $HOME, which the environment
// of whoever started the process may point anywhere.
std::string homeFolder() {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/')
      return {};
    return entry.pw_dir;
  }
}

// The folder of the lock, somewhere no other user can create or replace it. First the login
// session's runtime folder, /run/user/<uid>, which the system makes for the user alone. Where
// there is none (no login session of systemd's, e.g. under su or cron, or without logind), a
// folder of our own in the user's cache folder, ~/.cache/tobran-quorvel: a lock file is
// disposable like any cache entry, the home is the user's alone, and every step is opened
// relative to the one before, so nothing can be swapped between the checks and the lock.
// Each folder must belong to the user and be writable by no one else; the runtime folder and
// ours must not be links. A shared folder such as /tmp is never used: another user could
// create the name first. An invalid descriptor when no such folder can be had; with `create`
// false, also when ours does not exist yet.
Descriptor lockFolder(bool create) {
  const std::string runtime = "/run/user/" + std::to_string(getuid());
  Descriptor folder = openOwnFolder(AT_FDCWD, runtime.c_str(), false, false);
  if (folder.get() >= 0)
    return folder;

  const std::string home = homeFolder();
  if (home.empty())
    return Descriptor();
  // The home may be a link (where the administrator keeps homes); ~/.cache may be one the user
  // made, since no one else can write in the home: both are checked where they lead.
  Descriptor homeFd = openOwnFolder(AT_FDCWD, home.c_str(), false, true);
  if (homeFd.get() < 0)
    return Descriptor();
  Descriptor cache = openOwnFolder(homeFd.get(), ".cache", create, true);
  if (cache.get() < 0)
    return Descriptor();
  return openOwnFolder(cache.get(), "tobran-quorvel", create, false);
}

void* runThreadEntry(void* boxedEntry) {
  const ThreadEntry entry = *static_cast<ThreadEntry*>(boxedEntry);
  delete static_cast<ThreadEntry*>(boxedEntry);
  entry();
  return nullptr;
}

} // namespace

InstanceLock acquireSingleInstanceLock(const wchar_t* name) {
  const Descriptor folder = lockFolder(true);
  if (folder.get() < 0)
    return InstanceLock::Unavailable;
  Descriptor file(openat(folder.get(), lockFileName(name).c_str(),
                         O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (file.get() < 0)
    return InstanceLock::Unavailable;
  if (flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
    // Kept open for the life of the process: closing it would drop the lock.
    file.release();
    return InstanceLock::Acquired;
  }
  return errno == EWOULDBLOCK ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
}

LockProbe singleInstanceLockHeld(const wchar_t* name) {
  const Descriptor folder = lockFolder(false);
  if (folder.get() < 0)
    return errno == ENOENT ? LockProbe::NotHeld : LockProbe::Unknown;
  const Descriptor file(
      openat(folder.get(), lockFileName(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (file.get() < 0)
    return errno == ENOENT ? LockProbe::NotHeld : LockProbe::Unknown;
  // A shared lock conflicts with the holder's exclusive one; when granted, closing the file
  // drops it at once.
  if (flock(file.get(), LOCK_SH | LOCK_NB) == 0)
    return LockProbe::NotHeld;
  return errno == EWOULDBLOCK ? LockProbe::Held : LockProbe::Unknown;
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
