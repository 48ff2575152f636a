// The policies in the Windows registry: HKEY_LOCAL_MACHINE (and, read only, HKEY_CURRENT_USER,
// which the browsers also read), always the 64-bit view, where 64-bit browsers look.
#include "admin/browser_policy.h"

#include <windows.h>

#include <algorithm>
#include <set>

namespace admin {
namespace {

std::wstring wide(std::string_view text) {
  if (text.empty())
    return {};
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}
std::string narrow(std::wstring_view text) {
  if (text.empty())
    return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

[[noreturn]] void fail(const std::string& what, LSTATUS status) {
  throw PolicyError(what + " (error " + std::to_string(status) + ")");
}

// The list "1", "2", … of `key`, up to the first number missing, as the browsers read it.
std::vector<std::string> readList(HKEY hive, const std::string& key) {
  std::vector<std::string> list;
  HKEY handle;
  if (RegOpenKeyExW(hive, wide(key).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &handle) !=
      ERROR_SUCCESS) {
    return list;
  }
  for (int i = 1;; ++i) {
    wchar_t data[2048] = {};
    DWORD type = 0;
    DWORD size = sizeof data - sizeof(wchar_t); // room for the terminating zero it may lack
    LSTATUS status = RegQueryValueExW(handle, std::to_wstring(i).c_str(), nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &size);
    if (status != ERROR_SUCCESS || type != REG_SZ)
      break;
    list.push_back(narrow(data));
  }
  RegCloseKey(handle);
  return list;
}

// Writes `list` as `key`'s values "1" to "N", taking away the numbers after it; the key is
// deleted when the list is empty and nothing else is in it.
void writeList(const std::string& key, const std::vector<std::string>& list) {
  HKEY handle;
  LSTATUS status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, nullptr, 0,
                      KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS)
    fail("cannot open HKLM\\" + key, status);
  for (size_t i = 0; i < list.size(); ++i) {
    std::wstring data = wide(list[i]);
    status = RegSetValueExW(handle, std::to_wstring(i + 1).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) {
      RegCloseKey(handle);
      fail("cannot write HKLM\\" + key, status);
    }
  }
  for (size_t i = list.size() + 1;
       RegDeleteValueW(handle, std::to_wstring(i).c_str()) == ERROR_SUCCESS; ++i) {
  }
  DWORD values = 0, subkeys = 0;
  RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  if (values == 0 && subkeys == 0)
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), KEY_WOW64_64KEY, 0);
}

} // namespace

std::vector<BrowserApproval> registryApprovalsFor(const Origin& origin) {
  std::vector<BrowserApproval> approvals;
  for (Browser browser : kBrowsers) {
    BrowserApproval approval{browser, {}, {}, {}};
    for (const auto& key : registry::listKeys(browser)) {
      std::string policy = key.substr(std::string(registry::policiesKey(browser)).size() + 1);
      for (auto [hive, name] :
           {std::pair{HKEY_LOCAL_MACHINE, "HKLM\\"}, std::pair{HKEY_CURRENT_USER, "HKCU\\"}}) {
        for (const auto& pattern : readList(hive, key)) {
          bool covers = browser == Browser::firefox ? firefoxDomainCovers(pattern, origin)
                                                    : chromiumPatternCovers(pattern, origin);
          if (covers)
            approval.entries.push_back({name + key, policy, pattern});
        }
      }
    }
    approvals.push_back(std::move(approval));
  }
  return approvals;
}

void allowOriginsInRegistry(const std::vector<Origin>& origins) {
  for (Browser browser : kBrowsers) {
    for (const auto& key : registry::listKeys(browser)) {
      std::vector<std::string> list = readList(HKEY_LOCAL_MACHINE, key);
      for (const auto& origin : origins) {
        const std::string& entry = browser == Browser::firefox ? origin.host : origin.text;
        if (std::find(list.begin(), list.end(), entry) == list.end())
          list.push_back(entry);
      }
      writeList(key, list);
    }
  }
}

void removeOriginsFromRegistry(const std::vector<Origin>& origins) {
  std::set<std::string> hostsStillApproved;
  for (Browser browser : kBrowsers) {
    if (browser == Browser::firefox)
      continue;
    for (const auto& key : registry::listKeys(browser)) {
      std::vector<std::string> list = readList(HKEY_LOCAL_MACHINE, key);
      std::erase_if(list, [&](const std::string& entry) {
        return std::any_of(origins.begin(), origins.end(),
                           [&](const Origin& o) { return o.text == entry; });
      });
      for (const auto& entry : list) {
        if (auto kept = checkOrigin(entry).origin)
          hostsStillApproved.insert(kept->host);
      }
      writeList(key, list);
    }
  }
  for (const auto& key : registry::listKeys(Browser::firefox)) {
    std::vector<std::string> list = readList(HKEY_LOCAL_MACHINE, key);
    std::erase_if(list, [&](const std::string& entry) {
      return !hostsStillApproved.contains(entry) &&
             std::any_of(origins.begin(), origins.end(),
                         [&](const Origin& o) { return o.host == entry; });
    });
    writeList(key, list);
  }
}

} // namespace admin
