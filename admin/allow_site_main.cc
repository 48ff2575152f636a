// tobran-quorvel-allow-site (Linux): pre-approves sites in the browsers' managed policy files, so
// that their pages reach the service with no Local Network Access prompt (see browser_policy.h).
// Run as root. On Windows the MSI's ALLOWED_ORIGINS does the same (packaging/windows/).
#include "admin/browser_policy.h"

#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "Usage: tobran-quorvel-allow-site [--root DIR] ORIGIN...    pre-approve https origins\n"
    "       tobran-quorvel-allow-site [--root DIR] --remove ORIGIN...\n"
    "       tobran-quorvel-allow-site [--root DIR] --list\n"
    "Writes the managed policies of Chromium, Google Chrome, Microsoft Edge and Firefox that let\n"
    "pages of these origins reach this computer's fingerprint service without asking.\n"
    "An ORIGIN is https://host or https://host:port; an argument may hold several, separated by\n"
    "spaces. --root DIR works on the system under DIR instead of /.\n";

// The origins of `texts`, or nothing after saying on standard error why one is refused.
std::optional<std::vector<admin::Origin>> originsOf(const std::vector<std::string>& texts) {
  admin::OriginList list = admin::checkOrigins(texts);
  for (const auto& refusal : list.refusals)
    std::cerr << "tobran-quorvel-allow-site: refused: " << refusal << "\n";
  if (!list.refusals.empty())
    return std::nullopt;
  return std::move(list.origins);
}

int list(const std::string& root) {
  for (const auto& approval : admin::allApprovals(root)) {
    for (const auto& entry : approval.entries) {
      std::cout << admin::browserName(approval.browser) << "\t" << entry.pattern << "\t"
                << entry.policy << "\t" << entry.source << "\n";
    }
    for (const auto& problem : approval.unreadable)
      std::cerr << "tobran-quorvel-allow-site: " << problem << "\n";
  }
  return 0;
}

// Whether another managed file, read after ours, sets the same policies and so keeps any of
// `origins` from being pre-approved; says which on standard error.
bool overriddenElsewhere(const std::vector<admin::Origin>& origins, const std::string& root) {
  bool overridden = false;
  for (const auto& origin : origins) {
    for (const auto& approval : admin::approvalsFor(origin, root)) {
      if (approval.approved())
        continue;
      for (const auto& entry : approval.overridden) {
        std::cerr << "tobran-quorvel-allow-site: " << admin::browserName(approval.browser)
                  << " does not use " << entry.policy << " of " << entry.source << " for "
                  << origin.text << ": another file of that folder, read after it, sets "
                  << entry.policy << " too; add the origin there\n";
        overridden = true;
      }
    }
  }
  return overridden;
}

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
    if (arguments[0] == "--list")
      return arguments.size() == 1 ? list(root) : (std::cerr << kUsage, 2);
    bool removing = arguments[0] == "--remove";
    if (removing)
      arguments.erase(arguments.begin());
    if (arguments.empty() || arguments[0].starts_with("--")) {
      std::cerr << kUsage;
      return 2;
    }
    auto origins = originsOf(arguments);
    if (!origins)
      return 1;
    if (removing) {
      admin::removeOrigins(*origins, root);
      std::cout << "removed: " << admin::joinedOrigins(*origins) << "\n";
      return 0;
    }
    admin::allowOrigins(*origins, root);
    std::cout << "pre-approved: " << admin::joinedOrigins(*origins) << "\n";
    return overriddenElsewhere(*origins, root) ? 1 : 0;
  } catch (const admin::PolicyError& failure) {
    std::cerr << "tobran-quorvel-allow-site: " << failure.what()
              << (::geteuid() == 0 || rootGiven ? "" : " (run it as root)") << "\n";
    return 1;
  }
}
