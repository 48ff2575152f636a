// tobran-quorvel-allow-site: pre-approves sites in the browsers' managed policies, so that their
// pages reach the service with no Local Network Access prompt (see browser_policy.h). On Linux
// it writes the policy files, run as root; on Windows the registry policies, run by the
// installer (as administrator) with the origins of its ALLOWED_ORIGINS property.
#include "admin/browser_policy.h"

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr const char* kUsage =
    "Usage: tobran-quorvel-allow-site [--root DIR] ORIGIN...    pre-approve https origins\n"
    "       tobran-quorvel-allow-site [--root DIR] --remove ORIGIN...\n"
    "       tobran-quorvel-allow-site [--root DIR] --list\n"
    "Writes the managed policies of Chromium, Google Chrome, Microsoft Edge and Firefox that let\n"
    "pages of these origins reach this computer's fingerprint service without asking.\n"
    "An ORIGIN is https://host or https://host:port; an argument may hold several, separated by\n"
    "spaces. --root DIR works on the system under DIR instead of /.\n";

// The words of every argument: ALLOWED_ORIGINS reaches us as one argument of several origins.
std::vector<std::string> words(const std::vector<std::string>& arguments) {
  std::vector<std::string> all;
  for (const auto& argument : arguments) {
    std::istringstream in(argument);
    for (std::string word; in >> word;) all.push_back(word);
  }
  return all;
}

// The origins of `texts`, or nothing after saying on standard error why one is refused.
std::optional<std::vector<admin::Origin>> originsOf(const std::vector<std::string>& texts) {
  std::vector<admin::Origin> origins;
  bool refused = false;
  for (const auto& text : words(texts)) {
    auto check = admin::checkOrigin(text);
    if (check.origin) {
      origins.push_back(*check.origin);
    } else {
      std::cerr << "tobran-quorvel-allow-site: refused: " << check.refusal << "\n";
      refused = true;
    }
  }
  if (refused) return std::nullopt;
  return origins;
}

std::string joined(const std::vector<admin::Origin>& origins) {
  std::string text;
  for (const auto& origin : origins) text += (text.empty() ? "" : " ") + origin.text;
  return text;
}

#ifdef _WIN32
// The installer's part: the origins it was given are kept in the registry, so that an upgrade
// without ALLOWED_ORIGINS keeps them and a removal takes away exactly those.
std::wstring wideText(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void remember(const std::vector<admin::Origin>& origins) {
  std::wstring key = wideText(std::string(admin::registry::kProductKey));
  std::wstring name = wideText(std::string(admin::registry::kAllowedOriginsValue));
  if (origins.empty()) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0); // only when empty
    return;
  }
  HKEY handle;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                      nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    throw admin::PolicyError("cannot write HKLM\\" + std::string(admin::registry::kProductKey));
  }
  std::wstring data = wideText(joined(origins));
  RegSetValueExW(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

// --installer-set GIVEN KEPT: GIVEN when it names any origin, else the KEPT ones of the last
// install; the kept ones no longer wanted are taken away first.
int installerSet(const std::string& given, const std::string& kept) {
  auto keptOrigins = originsOf({kept}).value_or(std::vector<admin::Origin>{});
  auto wanted = words({given}).empty() ? std::optional(keptOrigins) : originsOf({given});
  if (!wanted) return 1;
  std::vector<admin::Origin> dropped;
  for (const auto& origin : keptOrigins) {
    bool stays = std::any_of(wanted->begin(), wanted->end(), [&](const admin::Origin& o) { return o.text == origin.text; });
    if (!stays) dropped.push_back(origin);
  }
  admin::removeOriginsFromRegistry(dropped);
  admin::allowOriginsInRegistry(*wanted);
  remember(*wanted);
  std::cout << "pre-approved: " << (wanted->empty() ? "none" : joined(*wanted)) << "\n";
  return 0;
}

int installerRemove(const std::string& kept) {
  auto keptOrigins = originsOf({kept}).value_or(std::vector<admin::Origin>{});
  admin::removeOriginsFromRegistry(keptOrigins);
  remember({});
  return 0;
}

void allow(const std::vector<admin::Origin>& origins, const std::string&) { admin::allowOriginsInRegistry(origins); }
void remove(const std::vector<admin::Origin>& origins, const std::string&) { admin::removeOriginsFromRegistry(origins); }
int list(const std::string&) {
  std::cerr << "tobran-quorvel-allow-site: --list reads the policy files of Linux; on Windows see chrome://policy\n";
  return 2;
}
bool privileged() { return true; }
#else
void allow(const std::vector<admin::Origin>& origins, const std::string& root) { admin::allowOrigins(origins, root); }
void remove(const std::vector<admin::Origin>& origins, const std::string& root) { admin::removeOrigins(origins, root); }
int list(const std::string& root) {
  for (const auto& approval : admin::allApprovals(root)) {
    for (const auto& entry : approval.entries) {
      std::cout << admin::browserName(approval.browser) << "\t" << entry.pattern << "\t" << entry.policy
                << "\t" << entry.source << "\n";
    }
    for (const auto& problem : approval.unreadable) std::cerr << "tobran-quorvel-allow-site: " << problem << "\n";
  }
  return 0;
}
bool privileged() { return ::geteuid() == 0; }
#endif

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string root = "/";
  bool rootGiven = false;
  if (arguments.size() >= 2 && arguments[0] == "--root") {
    root = arguments[1];
    rootGiven = true;
    arguments.erase(arguments.begin(), arguments.begin() + 2);
  }
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
    (arguments.empty() ? std::cerr : std::cout) << kUsage;
    return arguments.empty() ? 2 : 0;
  }
  try {
#ifdef _WIN32
    if (arguments[0] == "--installer-set" && arguments.size() == 3) return installerSet(arguments[1], arguments[2]);
    if (arguments[0] == "--installer-remove" && arguments.size() == 2) return installerRemove(arguments[1]);
#endif
    if (arguments[0] == "--list") return arguments.size() == 1 ? list(root) : (std::cerr << kUsage, 2);
    bool removing = arguments[0] == "--remove";
    if (removing) arguments.erase(arguments.begin());
    if (arguments.empty() || arguments[0].starts_with("--")) {
      std::cerr << kUsage;
      return 2;
    }
    auto origins = originsOf(arguments);
    if (!origins) return 1;
    if (removing) {
      remove(*origins, root);
    } else {
      allow(*origins, root);
    }
    std::cout << (removing ? "removed: " : "pre-approved: ") << joined(*origins) << "\n";
    return 0;
  } catch (const admin::PolicyError& failure) {
    std::cerr << "tobran-quorvel-allow-site: " << failure.what()
              << (privileged() || rootGiven ? "" : " (run it as root)") << "\n";
    return 1;
  }
}
