// Windows side of the diagnosis seam: the listener's process from the TCP tables with their
// owning process ids, its program and account from the process and its token (another user's
// process may refuse both to a user without administrator rights).
#include "platform/diagnosis.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

namespace platform {
namespace {

std::string narrow(const wchar_t* text, int length = -1) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  if (length < 0 && !out.empty())
    out.pop_back(); // the terminating zero
  return out;
}

// The account of a process's (or this thread's process's) token, "DOMAIN\name".
std::string tokenUser(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
    return {};
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, name,
                         &nameSize, domain, &domainSize, &use))
    return {};
  return narrow(domain) + "\\" + narrow(name);
}

std::string processUser(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token))
    return {};
  std::string user = tokenUser(token);
  CloseHandle(token);
  return user;
}

// The owner of a listener on `port` in one table (AF_INET or AF_INET6), or 0.
DWORD listenerPid(ULONG family, std::uint16_t port) {
  std::vector<unsigned char> table(16384);
  DWORD size = static_cast<DWORD>(table.size());
  DWORD result;
  while ((result = GetExtendedTcpTable(table.data(), &size, FALSE, family,
                                       TCP_TABLE_OWNER_PID_LISTENER, 0)) ==
         ERROR_INSUFFICIENT_BUFFER)
    table.resize(size);
  if (result != NO_ERROR)
    return 0;
  const u_short wanted = htons(port);
  if (family == AF_INET) {
    const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i)
      if (static_cast<u_short>(rows->table[i].dwLocalPort) == wanted)
        return rows->table[i].dwOwningPid;
  } else {
    const auto* rows = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i)
      if (static_cast<u_short>(rows->table[i].dwLocalPort) == wanted)
        return rows->table[i].dwOwningPid;
  }
  return 0;
}

} // namespace

std::optional<ListeningProcess> findListener(std::uint16_t port) {
  DWORD pid = listenerPid(AF_INET, port);
  if (pid == 0)
    pid = listenerPid(AF_INET6, port);
  if (pid == 0)
    return std::nullopt;
  ListeningProcess found;
  found.pid = static_cast<long>(pid);
  if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, path, &length))
      found.program = narrow(path, static_cast<int>(length));
    found.user = processUser(process);
    CloseHandle(process);
  }
  found.userKnown = !found.user.empty();
  found.sameUser = found.userKnown && found.user == currentUserName();
  return found;
}

std::string currentUserName() { return processUser(GetCurrentProcess()); }

LoadedLibrary loadReaderLibrary() {
  LoadedLibrary library;
  // The standard search, as for the service's import: the program's folder first.
  HMODULE module = LoadLibraryW(L"libzkfp.dll");
  if (module == nullptr) {
    library.error = "cannot be loaded (error " + std::to_string(GetLastError()) + ")";
    return library;
  }
  library.handle = module;
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  library.path = narrow(path, static_cast<int>(length));
  return library;
}

void* librarySymbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

} // namespace platform
