// Browsers' managed policies that pre-approve sites for Local Network Access, so that a page
// from those sites reaches the service on 127.0.0.1 with no prompt: where each browser reads
// them, under which names, which origins may be listed, and reading and writing them. The one
// place that knows these facts: tobran-quorvel-allow-site (Linux), the Windows installer's
// helper and tobran-quorvel-doctor all go through it.
// Any thread; nothing is shared. Every path is under `root` ("/" on a real system), so tests
// work in a temporary folder. Writing needs the rights of the folders (root on a real system).
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace admin {

enum class Browser { chromium, chrome, edge, firefox };
inline constexpr std::array<Browser, 4> kBrowsers{Browser::chromium, Browser::chrome, Browser::edge,
                                                  Browser::firefox};
// "Chromium", "Google Chrome", "Microsoft Edge", "Firefox".
std::string_view browserName(Browser browser);

// --- The policies ---------------------------------------------------------------------------
// Chromium, Chrome and Edge: list policies of URL patterns whose pages are exempt from the Local
// Network Access checks. The first is read from version 139 (Edge 140), the second, for
// 127.0.0.1 alone, from 146; both are written so that every version in use is covered.
inline constexpr std::string_view kLocalNetworkAccessAllowedForUrls =
    "LocalNetworkAccessAllowedForUrls";
inline constexpr std::string_view kLoopbackNetworkAllowedForUrls = "LoopbackNetworkAllowedForUrls";
inline constexpr std::array<std::string_view, 2> kChromiumListPolicies{
    kLocalNetworkAccessAllowedForUrls, kLoopbackNetworkAllowedForUrls};
// Firefox (147 and later): the policy object LocalNetworkAccess and its list SkipDomains, host
// names ("app.example.com", "*.example.com", "*") whose pages are granted local network access
// with no prompt. Firefox has no per-origin list: the host of each origin is written, which
// covers every scheme and port of that host (an http page still cannot use it: Firefox grants
// the permission only to secure contexts).
//   policies.json: {"policies": {"LocalNetworkAccess": {"SkipDomains": ["app.example.com"]}}}
inline constexpr std::string_view kFirefoxLocalNetworkAccess = "LocalNetworkAccess";
inline constexpr std::string_view kFirefoxSkipDomains = "SkipDomains";

// --- Linux: files -----------------------------------------------------------------------------
// Chromium-family browsers read every file of their managed folder, in which ours is
// kOurPolicyFileName; Firefox reads one policies.json, which is shared with whatever else the
// administrator set there.
//   Chromium /etc/chromium/policies/managed/   Chrome /etc/opt/chrome/policies/managed/
//   Edge     /etc/opt/edge/policies/managed/   Firefox /etc/firefox/policies/policies.json
inline constexpr std::string_view kOurPolicyFileName = "tobran-quorvel.json";
// The managed folder of a Chromium-family browser, or Firefox's policies.json, under `root`.
std::filesystem::path policyLocation(Browser browser, const std::filesystem::path& root = "/");

// --- Windows: the registry, under HKEY_LOCAL_MACHINE -------------------------------------------
// A list policy is the key <policies key>\<policy name> holding REG_SZ values named "1", "2", …
// with no gap (Chrome stops at the first missing number), e.g.
//   HKLM\SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls  "1" =
//   "https://app.example.com" HKLM\SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess\SkipDomains
//   "1" = "app.example.com"
namespace registry {
inline constexpr std::string_view kChromiumPolicies = R"(SOFTWARE\Policies\Chromium)";
inline constexpr std::string_view kChromePolicies = R"(SOFTWARE\Policies\Google\Chrome)";
inline constexpr std::string_view kEdgePolicies = R"(SOFTWARE\Policies\Microsoft\Edge)";
inline constexpr std::string_view kFirefoxPolicies = R"(SOFTWARE\Policies\Mozilla\Firefox)";
// The key of a Chromium-family browser's policies, or Firefox's.
std::string_view policiesKey(Browser browser);
// The list keys of a browser: <policies key>\<policy> for Chromium's family, Firefox's
// <policies key>\LocalNetworkAccess\SkipDomains.
std::vector<std::string> listKeys(Browser browser);
// Where the Windows installer keeps the origins it was given (ALLOWED_ORIGINS, separated by
// spaces), so that an upgrade keeps them and a removal takes away exactly those.
inline constexpr std::string_view kProductKey = R"(SOFTWARE\Tobran-Quorvel)";
inline constexpr std::string_view kAllowedOriginsValue = "AllowedOrigins";
} // namespace registry

// --- Origins -----------------------------------------------------------------------------------
// An origin that may be pre-approved: https, a host name or address, and a port other than 443
// when there is one; lower case, no path ("https://app.example.com",
// "https://hr.example.org:8443").
struct Origin {
  std::string text;
  std::string host; // the host alone, as Firefox's SkipDomains takes it
};
// The origin `text` names, normalised (scheme and host in lower case, ":443" and a final "/"
// dropped), or why it cannot be pre-approved.
struct OriginCheck {
  std::optional<Origin> origin;
  std::string refusal; // set when origin is not
};
OriginCheck checkOrigin(std::string_view text);
// Every origin among the words of `texts` (each may hold several, separated by white space: an
// MSI property or a quoted argument), and the refusal of each word that is not one.
struct OriginList {
  std::vector<Origin> origins;
  std::vector<std::string> refusals;
};
OriginList checkOrigins(const std::vector<std::string>& texts);
// The origins' texts, separated by single spaces.
std::string joinedOrigins(const std::vector<Origin>& origins);

// Whether a Chromium-family URL pattern ("https://app.example.com", "[*.]example.com",
// "app.example.com", "*", with an optional port and path) or a Firefox SkipDomains entry
// ("app.example.com", "*.example.com", "*") covers `origin`.
bool chromiumPatternCovers(std::string_view pattern, const Origin& origin);
bool firefoxDomainCovers(std::string_view pattern, const Origin& origin);

// --- Reading -------------------------------------------------------------------------------------
// One policy entry that pre-approves an origin.
struct PolicyEntry {
  std::string source;  // the file (or, on Windows, the registry key) it is in
  std::string policy;  // e.g. "LoopbackNetworkAllowedForUrls", "LocalNetworkAccess.SkipDomains"
  std::string pattern; // the entry as written
};
struct BrowserApproval {
  Browser browser;
  std::vector<PolicyEntry> entries;    // the entries in force that cover the origin
  std::vector<std::string> unreadable; // files that exist but could not be read as JSON, and why
  // Entries that cover the origin but are not in force: a Chromium-family browser takes each
  // policy from one file of its folder, the last in name order that sets it, and ignores the
  // same policy in the others (they are not merged).
  std::vector<PolicyEntry> overridden;
  bool approved() const { return !entries.empty(); }
};
// For each browser of kBrowsers, in that order, the managed policy entries under `root` that
// pre-approve `origin`, from any file of the managed folders (ours or not) and policies.json.
std::vector<BrowserApproval> approvalsFor(const Origin& origin,
                                          const std::filesystem::path& root = "/");
// Every entry of the pre-approving policies, covering any origin, per browser (for --list).
std::vector<BrowserApproval> allApprovals(const std::filesystem::path& root = "/");

// Each platform's source defines its own half of what follows (CMake picks the file); the other
// half is declared but not defined there.
// --- Writing (Linux) ---------------------------------------------------------------------------
// Adds `origins` to our file in each Chromium-family folder (made if missing) and their hosts to
// Firefox's SkipDomains, merged into policies.json with everything else in it kept. Each file is
// replaced atomically (a temporary file in the same folder, synced, renamed over it), mode 0644.
// Throws PolicyError, having changed no file, when an existing file is not valid JSON of the
// expected shape; a failure while writing leaves each file either as it was or complete.
void allowOrigins(const std::vector<Origin>& origins, const std::filesystem::path& root = "/");
// Takes `origins` out of our files, and their hosts out of SkipDomains unless another origin of
// ours still has that host; an emptied file of ours is deleted, an emptied SkipDomains (and
// then LocalNetworkAccess) taken out of policies.json.
void removeOrigins(const std::vector<Origin>& origins, const std::filesystem::path& root = "/");

// --- Reading and writing (Windows, HKEY_LOCAL_MACHINE, 64-bit view) -----------------------------
std::vector<BrowserApproval> registryApprovalsFor(const Origin& origin);
// The same as the Linux functions, in the list keys above; the lists are renumbered from 1.
void allowOriginsInRegistry(const std::vector<Origin>& origins);
void removeOriginsFromRegistry(const std::vector<Origin>& origins);

class PolicyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

} // namespace admin
