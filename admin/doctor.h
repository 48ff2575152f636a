// tobran-quorvel-doctor: finds out, from outside the service, why a page cannot use the reader,
// and says what to do. It asks the service only what any page may (info, never a capture), so
// it changes nothing a page can see. One thread; owns nothing past a call, but the reader's
// library, once loaded, stays loaded until the process ends.
#pragma once

#include "admin/browser_policy.h"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace admin {

enum class FindingStatus { Ok, Problem, CantTell };

// One line of the report. `code` is stable (the README lists every code); `text` says what was
// found, `next` what to do about it (empty when nothing).
struct Finding {
  std::string check; // "service", "port", "library", "reader", "browser"
  FindingStatus status = FindingStatus::Ok;
  std::string code;
  std::string text;
  std::string next;
  std::vector<std::pair<std::string, std::string>> details; // e.g. pid, program, user, path
};

struct DoctorOptions {
  std::optional<std::string> origin;      // the web application whose browser side is checked
  std::filesystem::path policyRoot = "/"; // where the policy files are read (not on Windows)
};

// Every check, in order: the service for this user, who holds the port when it is not ours,
// the reader's library, the reader, and with an origin the browsers' managed policies.
std::vector<Finding> diagnose(const DoctorOptions& options);

// 0 when a page could use the reader now (every finding ok), 1 when a problem stops it, 2 when
// nothing wrong was found but something could not be told.
int exitStatus(const std::vector<Finding>& findings);

// Step 5: one finding per browser on whether its managed policies pre-approve `origin`, and what
// the person is asked otherwise (doctor_browsers.cc).
void appendBrowserFindings(const std::string& origin, const std::filesystem::path& policyRoot,
                           std::vector<Finding>& findings);
// The approvals of this platform's policy store: the files under `root`, or on Windows the
// registry (`root` unused). doctor_policies_posix.cc or doctor_policies_windows.cc.
std::vector<BrowserApproval> machineApprovals(const Origin& origin,
                                              const std::filesystem::path& root);

std::string humanReport(const std::vector<Finding>& findings);
// One JSON object: {"exitStatus":N,"findings":[{"check":…,"status":…,"code":…,"text":…,
// "next":…, details…}]}; "status" is "ok", "problem" or "cant-tell".
std::string jsonReport(const std::vector<Finding>& findings);

} // namespace admin
