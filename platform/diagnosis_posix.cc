// POSIX side of the diagnosis seam, from Linux's /proc: the socket tables give a listener's
// owner and socket inode, and the processes' descriptor folders the process holding it (only
// those of other users' processes this one may read: all of them for root).
#include "platform/diagnosis.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

constexpr int TCP_LISTEN = 0x0A; // the state column of a listening socket

std::string userName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return entry.pw_name;
  return std::to_string(uid);
}

std::string readLink(const std::string& path) {
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// The process with a descriptor on the socket `inode`, or -1.
long socketHolder(unsigned long inode) {
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* processes = opendir("/proc");
  if (processes == nullptr)
    return -1;
  long holder = -1;
  while (const dirent* process = readdir(processes)) {
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || pid <= 0)
      continue;
    const std::string fdFolder = "/proc/" + std::string(process->d_name) + "/fd";
    DIR* descriptors = opendir(fdFolder.c_str());
    if (descriptors == nullptr)
      continue; // another user's process, unreadable to us
    while (const dirent* descriptor = readdir(descriptors))
      if (descriptor->d_name[0] != '.' && readLink(fdFolder + "/" + descriptor->d_name) == wanted)
        holder = pid;
    closedir(descriptors);
    if (holder > 0)
      break;
  }
  closedir(processes);
  return holder;
}

} // namespace

std::optional<ListeningProcess> findListener(std::uint16_t port) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line); // the column names
    while (std::getline(lines, line)) {
      // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits;
      uid_t uid = 0;
      unsigned long timeout = 0, inode = 0;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode))
        continue;
      const std::size_t colon = local.rfind(':');
      if (colon == std::string::npos || std::stoi(state, nullptr, 16) != TCP_LISTEN ||
          std::stoul(local.substr(colon + 1), nullptr, 16) != port)
        continue;
      ListeningProcess found;
      found.user = userName(uid);
      found.userKnown = true;
      found.sameUser = uid == getuid();
      found.pid = socketHolder(inode);
      if (found.pid > 0) {
        const std::string folder = "/proc/" + std::to_string(found.pid);
        found.program = readLink(folder + "/exe");
        if (found.program.empty()) // another user's: its name is still public
          std::getline(std::ifstream(folder + "/comm"), found.program);
      }
      return found;
    }
  }
  return std::nullopt;
}

std::string currentUserName() { return userName(getuid()); }

// libzkfp.so from the folders the loader searches for this program (its RUNPATH, the library
// path, the system's folders), in that order.
void* openFromProgramSearchPath() {
  void* program = dlopen(nullptr, RTLD_NOW);
  Dl_serinfo size{};
  if (program == nullptr || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0)
    return nullptr;
  std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
  auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
  *info = size;
  if (dlinfo(program, RTLD_DI_SERINFOSIZE, info) != 0 ||
      dlinfo(program, RTLD_DI_SERINFO, info) != 0)
    return nullptr;
  for (unsigned i = 0; i < info->dls_cnt; ++i) {
    const std::string file = std::string(info->dls_serpath[i].dls_name) + "/libzkfp.so";
    if (void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL))
      return handle;
  }
  return nullptr;
}

LoadedLibrary loadReaderLibrary() {
  LoadedLibrary library;
  library.handle = dlopen("libzkfp.so", RTLD_NOW | RTLD_LOCAL);
  std::string error;
  if (library.handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "not found";
    // A sanitizer's runtime makes the call on the program's behalf, and the loader then searches
    // the runtime's folders rather than this program's: the program's own are searched here.
    library.handle = openFromProgramSearchPath();
  }
  if (library.handle == nullptr) {
    library.error = error;
    return library;
  }
  link_map* map = nullptr;
  // The name as the loader found it, a full path when found through a search folder.
  if (dlinfo(library.handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
      map->l_name != nullptr)
    library.path = map->l_name;
  return library;
}

void* librarySymbol(void* handle, const char* name) { return dlsym(handle, name); }

} // namespace platform
