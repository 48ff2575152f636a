// The operating-system seam of the diagnosis tool (admin/): who listens on a port, who this
// process runs as, and the reader's library loaded by name the way the service's loader finds
// it. Linked by the tool only, never into the service. diagnosis_posix.cc (Linux's /proc) and
// diagnosis_windows.cc implement it.
//
// Thread safety: any thread. Nothing throws; what cannot be learnt is left empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The process listening on a TCP port of this computer (IPv4 or IPv6, any address).
struct ListeningProcess {
  long pid = -1;         // -1: not known (another user's process this one may not inspect)
  std::string program;   // full path where it can be read, else the process's name; may be empty
  std::string user;      // account name; may be empty
  bool sameUser = false; // runs as the user of this process
  bool userKnown = false;
};

// The listener on `port`, or nothing when no socket listens there (or the table cannot be read).
std::optional<ListeningProcess> findListener(std::uint16_t port);

// The account this process runs as.
std::string currentUserName();

// The SDK's library, libzkfp.so or libzkfp.dll, loaded by its bare name: the loader searches
// as it does for the service's import of it (on POSIX the calling program's RUNPATH, which is
// why the tool is linked with the service's). Loaded once and kept until the process ends,
// since a library may leave threads of its own running.
struct LoadedLibrary {
  void* handle = nullptr; // null when it could not be loaded
  std::string path;       // the file loaded
  std::string error;      // the loader's reason, when not loaded
};
LoadedLibrary loadReaderLibrary();
void* librarySymbol(void* handle, const char* name);

} // namespace platform
