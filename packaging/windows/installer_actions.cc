// tobran-quorvel-installer-actions.exe: the custom actions of the per-machine MSI
// (tobran-quorvel.wxs), run by Windows Installer as the local system account, deferred, from the
// installed folder, which is this program's own. One command per run:
//   stop                   end every copy of the service started from this folder, in any logon
//   reader-install         put the simulated reader (simulated\libzkfp.dll) beside the service,
//                          unless a vendor's libzkfp.dll is there
//   reader-remove          take that copy away again, while it is still ours
//   sites-set GIVEN KEPT   pre-approve GIVEN's origins in the browsers' policies, or KEPT's (those
//                          of the last install) when GIVEN is empty; the kept ones no longer
//                          wanted are taken away
//   sites-remove KEPT      take KEPT's origins away
// The reader library is copied by us rather than installed by Windows Installer, which would
// replace and remove whatever file has its name: the vendor's library an administrator put in
// the folder is never touched, ours only while it has the size and time recorded when it was
// copied. Exit status 0 done, 1 failed (the installation is then rolled back).
#include "admin/browser_policy.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t kServiceExe[] = L"Tobran-Quorvel.exe";
const wchar_t kReaderLibrary[] = L"libzkfp.dll";
const wchar_t kSimulatedReader[] = L"simulated\\libzkfp.dll";
// Beside the kept origins, under admin::registry::kProductKey: "size.time" of our copy.
const wchar_t kSimulatedReaderValue[] = L"SimulatedReader";

std::wstring wide(std::string_view text) { return std::wstring(text.begin(), text.end()); }

std::wstring ownFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring lowerCase(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return towlower(c); });
  return text;
}

int stopService() {
  std::wstring target = lowerCase(ownFolder() + kServiceExe);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (lowerCase(entry.szExeFile) != lowerCase(kServiceExe))
      continue;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                    entry.th32ProcessID);
    if (process == nullptr)
      continue;
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    // Only ours: another install of the service (a user's own, per-user one) is left alone.
    if (QueryFullProcessImageNameW(process, 0, image, &size) &&
        lowerCase(std::wstring(image, size)) == target) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 10000);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return 0;
}

// "size.time" of a file, or nothing when there is none.
std::wstring fileStamp(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return {};
  std::wostringstream stamp;
  stamp << ((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) << L"."
        << ((static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
            data.ftLastWriteTime.dwLowDateTime);
  return stamp.str();
}

std::wstring productKey() { return wide(admin::registry::kProductKey); }

std::wstring recordedStamp() {
  wchar_t data[128] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, productKey().c_str(), kSimulatedReaderValue, RRF_RT_REG_SZ,
                   nullptr, data, &size) != ERROR_SUCCESS) {
    return {};
  }
  return data;
}

void record(const std::wstring& stamp) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, productKey().c_str(), 0, nullptr, 0,
                      KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  if (stamp.empty()) {
    RegDeleteValueW(key, kSimulatedReaderValue);
  } else {
    RegSetValueExW(key, kSimulatedReaderValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(stamp.c_str()),
                   static_cast<DWORD>((stamp.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

// Our product key goes once nothing is left in it.
void dropEmptyProductKey() {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, productKey().c_str(), KEY_WOW64_64KEY, 0);
}

// The libzkfp.dll beside the service is the copy we made (or there is none).
bool readerIsOursOrAbsent(const std::wstring& library) {
  std::wstring stamp = fileStamp(library);
  return stamp.empty() || stamp == recordedStamp();
}

int readerInstall() {
  std::wstring folder = ownFolder();
  std::wstring library = folder + kReaderLibrary;
  if (!readerIsOursOrAbsent(library)) {
    std::cout << "kept the reader library in place\n";
    return 0;
  }
  if (!CopyFileW((folder + kSimulatedReader).c_str(), library.c_str(), FALSE)) {
    std::cerr << "cannot copy the simulated reader (error " << GetLastError() << ")\n";
    return 1;
  }
  record(fileStamp(library));
  return 0;
}

int readerRemove() {
  std::wstring library = ownFolder() + kReaderLibrary;
  if (readerIsOursOrAbsent(library))
    DeleteFileW(library.c_str());
  record({});
  dropEmptyProductKey();
  return 0;
}

std::vector<admin::Origin> originsIn(const std::string& text, bool& refused) {
  admin::OriginList list = admin::checkOrigins({text});
  for (const auto& refusal : list.refusals)
    std::cerr << "ALLOWED_ORIGINS: refused: " << refusal << "\n";
  refused = refused || !list.refusals.empty();
  return std::move(list.origins);
}

void keep(const std::vector<admin::Origin>& origins) {
  std::wstring name = wide(admin::registry::kAllowedOriginsValue);
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, productKey().c_str(), 0, nullptr, 0,
                      KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    throw admin::PolicyError("cannot write HKLM\\" + std::string(admin::registry::kProductKey));
  }
  if (origins.empty()) {
    RegDeleteValueW(key, name.c_str());
  } else {
    std::wstring data = wide(admin::joinedOrigins(origins));
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

int sitesSet(const std::string& given, const std::string& kept) {
  bool refused = false;
  std::vector<admin::Origin> keptOrigins = originsIn(kept, refused);
  refused = false; // what was kept was checked when it was given
  std::vector<admin::Origin> wanted = originsIn(given, refused);
  if (refused)
    return 1;
  if (given.find_first_not_of(" \t") == std::string::npos)
    wanted = keptOrigins;
  std::vector<admin::Origin> dropped;
  for (const auto& origin : keptOrigins) {
    if (std::none_of(wanted.begin(), wanted.end(),
                     [&](const admin::Origin& o) { return o.text == origin.text; })) {
      dropped.push_back(origin);
    }
  }
  admin::removeOriginsFromRegistry(dropped);
  admin::allowOriginsInRegistry(wanted);
  keep(wanted);
  std::cout << "pre-approved: " << (wanted.empty() ? "none" : admin::joinedOrigins(wanted)) << "\n";
  return 0;
}

int sitesRemove(const std::string& kept) {
  bool refused = false;
  admin::removeOriginsFromRegistry(originsIn(kept, refused));
  keep({});
  dropEmptyProductKey();
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    if (arguments.size() == 1 && arguments[0] == "stop")
      return stopService();
    if (arguments.size() == 1 && arguments[0] == "reader-install")
      return readerInstall();
    if (arguments.size() == 1 && arguments[0] == "reader-remove")
      return readerRemove();
    if (arguments.size() == 3 && arguments[0] == "sites-set")
      return sitesSet(arguments[1], arguments[2]);
    if (arguments.size() == 2 && arguments[0] == "sites-remove")
      return sitesRemove(arguments[1]);
  } catch (const admin::PolicyError& failure) {
    std::cerr << failure.what() << "\n";
    return 1;
  }
  std::cerr << "usage: tobran-quorvel-installer-actions stop | reader-install | reader-remove | "
               "sites-set GIVEN KEPT | sites-remove KEPT\n";
  return 2;
}
