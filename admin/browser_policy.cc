// Names, origins, patterns and reading the policy files; the same on every platform.
#include "admin/browser_policy.h"

// Boost.JSON in its header-only mode: its implementation is compiled here, once for the library.
#include <boost/json/src.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace admin {
namespace {

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool isHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
}

// A port written as 1 to 65535 in decimal, or nothing.
std::optional<unsigned> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  unsigned port = static_cast<unsigned>(std::stoul(std::string(text)));
  if (port == 0 || port > 65535)
    return std::nullopt;
  return port;
}

// The host and port of an origin's text ("host", "host:port", "[v6]:port").
struct HostPort {
  std::string host;
  std::string port; // empty when none is written
};
HostPort splitHostPort(std::string_view authority) {
  if (authority.starts_with('[')) {
    auto close = authority.find(']');
    if (close == std::string_view::npos)
      return {std::string(authority), {}};
    std::string_view rest = authority.substr(close + 1);
    return {std::string(authority.substr(0, close + 1)),
            rest.starts_with(':') ? std::string(rest.substr(1)) : std::string(rest)};
  }
  auto colon = authority.rfind(':');
  if (colon == std::string_view::npos)
    return {std::string(authority), {}};
  return {std::string(authority.substr(0, colon)), std::string(authority.substr(colon + 1))};
}

std::string originPort(const Origin& origin) {
  return splitHostPort(std::string_view(origin.text).substr(std::string_view("https://").size()))
      .port;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw PolicyError("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The JSON object in `path`; a PolicyError saying why when it is not one.
boost::json::object readJsonObject(const std::filesystem::path& path) {
  std::string text = readFile(path);
  boost::system::error_code error;
  boost::json::value value = boost::json::parse(text, error);
  if (error)
    throw PolicyError(path.string() + " is not valid JSON: " + error.message());
  if (!value.is_object())
    throw PolicyError(path.string() + " does not hold a JSON object");
  return std::move(value.as_object());
}

// The strings of list `name` of `object` (other kinds of entries are not patterns).
std::vector<std::string> stringList(const boost::json::object& object, std::string_view name) {
  std::vector<std::string> list;
  auto found = object.find(name);
  if (found == object.end() || !found->value().is_array())
    return list;
  for (const auto& entry : found->value().as_array()) {
    if (entry.is_string())
      list.emplace_back(entry.as_string());
  }
  return list;
}

// Adds the entries of the pre-approving policies of `browser` under `root` that `covers` accepts.
template <typename Covers>
void collectEntries(BrowserApproval& approval, const std::filesystem::path& root, Covers covers) {
  std::filesystem::path location = policyLocation(approval.browser, root);
  std::error_code error;
  if (approval.browser == Browser::firefox) {
    if (!std::filesystem::is_regular_file(location, error))
      return;
    try {
      boost::json::object file = readJsonObject(location);
      const auto* policies = file.if_contains("policies");
      if (policies == nullptr || !policies->is_object())
        return;
      const auto* lna = policies->as_object().if_contains(kFirefoxLocalNetworkAccess);
      if (lna == nullptr || !lna->is_object())
        return;
      for (const auto& pattern : stringList(lna->as_object(), kFirefoxSkipDomains)) {
        if (covers(pattern)) {
          approval.entries.push_back(
              {location.string(),
               std::string(kFirefoxLocalNetworkAccess) + "." + std::string(kFirefoxSkipDomains),
               pattern});
        }
      }
    } catch (const PolicyError& failure) {
      approval.unreadable.emplace_back(failure.what());
    }
    return;
  }
  // Chromium reads every file of the folder; sorted, so that the report is the same each time.
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(location, error)) {
    if (entry.is_regular_file(error) && !entry.path().filename().string().starts_with('.')) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  // Per policy, the entries of each file that sets it; the last such file's are in force
  // (measured with Chromium 156: a file named after ours, setting the same list, replaces it).
  std::vector<std::pair<std::string_view, std::vector<std::vector<PolicyEntry>>>> setters;
  for (std::string_view policy : kChromiumListPolicies)
    setters.push_back({policy, {}});
  for (const auto& path : files) {
    try {
      boost::json::object file = readJsonObject(path);
      for (auto& [policy, perFile] : setters) {
        if (!file.contains(policy))
          continue;
        perFile.emplace_back();
        for (const auto& pattern : stringList(file, policy)) {
          if (covers(pattern))
            perFile.back().push_back({path.string(), std::string(policy), pattern});
        }
      }
    } catch (const PolicyError& failure) {
      approval.unreadable.emplace_back(failure.what());
    }
  }
  for (auto& [policy, perFile] : setters) {
    for (size_t i = 0; i < perFile.size(); ++i) {
      auto& into = i + 1 == perFile.size() ? approval.entries : approval.overridden;
      into.insert(into.end(), perFile[i].begin(), perFile[i].end());
    }
  }
}

} // namespace

std::string_view browserName(Browser browser) {
  switch (browser) {
  case Browser::chromium:
    return "Chromium";
  case Browser::chrome:
    return "Google Chrome";
  case Browser::edge:
    return "Microsoft Edge";
  case Browser::firefox:
    return "Firefox";
  }
  return "?";
}

std::filesystem::path policyLocation(Browser browser, const std::filesystem::path& root) {
  switch (browser) {
  case Browser::chromium:
    return root / "etc/chromium/policies/managed";
  case Browser::chrome:
    return root / "etc/opt/chrome/policies/managed";
  case Browser::edge:
    return root / "etc/opt/edge/policies/managed";
  case Browser::firefox:
    return root / "etc/firefox/policies/policies.json";
  }
  return {};
}

namespace registry {
std::string_view policiesKey(Browser browser) {
  switch (browser) {
  case Browser::chromium:
    return kChromiumPolicies;
  case Browser::chrome:
    return kChromePolicies;
  case Browser::edge:
    return kEdgePolicies;
  case Browser::firefox:
    return kFirefoxPolicies;
  }
  return {};
}

std::vector<std::string> listKeys(Browser browser) {
  std::string base(policiesKey(browser));
  if (browser == Browser::firefox) {
    return {base + "\\" + std::string(kFirefoxLocalNetworkAccess) + "\\" +
            std::string(kFirefoxSkipDomains)};
  }
  std::vector<std::string> keys;
  for (std::string_view policy : kChromiumListPolicies)
    keys.push_back(base + "\\" + std::string(policy));
  return keys;
}
} // namespace registry

OriginCheck checkOrigin(std::string_view text) {
  auto refuse = [&](std::string_view why) {
    std::string refusal = "'";
    refusal.append(text).append("' ").append(why);
    return OriginCheck{std::nullopt, refusal};
  };
  constexpr std::string_view kSecure = "https://";
  std::string lower = lowerCase(text);
  auto schemeEnd = lower.find("://");
  if (schemeEnd == std::string::npos) {
    return refuse("is not an origin: give it as https://host or https://host:port");
  }
  if (!lower.starts_with(kSecure)) {
    return refuse("is not https: browsers let only pages from secure (https) origins reach this "
                  "computer, and an http origin could be played by anyone on the network");
  }
  std::string_view rest = std::string_view(lower).substr(kSecure.size());
  if (rest.ends_with('/'))
    rest.remove_suffix(1);
  if (rest.find_first_of("/?#") != std::string_view::npos) {
    return refuse("has a path, query or fragment: an origin is https://host[:port] alone");
  }
  if (rest.find('@') != std::string_view::npos)
    return refuse("carries a user name: not an origin");
  if (rest.find('*') != std::string_view::npos) {
    return refuse("has a wildcard: name each site, or every page of it could reach the reader");
  }
  HostPort hostPort = splitHostPort(rest);
  const std::string& host = hostPort.host;
  bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  bool validName = !host.empty() && host.front() != '.' && host.back() != '.' &&
                   host.find("..") == std::string::npos &&
                   std::all_of(host.begin(), host.end(), isHostCharacter);
  bool validAddress =
      bracketed && std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
      });
  if (!validName && !validAddress) {
    return refuse("has no valid host name (names outside ASCII go in their xn-- form)");
  }
  std::string normalised = std::string(kSecure) + host;
  if (!hostPort.port.empty() || rest.ends_with(':')) {
    auto port = parsePort(hostPort.port);
    if (!port)
      return refuse("has a port that is not 1 to 65535");
    if (*port != 443)
      normalised += ":" + std::to_string(*port);
  }
  return OriginCheck{Origin{normalised, host}, {}};
}

bool chromiumPatternCovers(std::string_view pattern, const Origin& origin) {
  std::string lower = lowerCase(pattern);
  std::string_view rest = lower;
  bool schemeGiven = false;
  if (auto schemeEnd = rest.find("://"); schemeEnd != std::string_view::npos) {
    std::string_view scheme = rest.substr(0, schemeEnd);
    if (scheme != "https" && scheme != "*")
      return false;
    schemeGiven = scheme == "https";
    rest.remove_prefix(schemeEnd + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  // "[*.]" (the host and its subdomains) is not an IPv6 address in brackets.
  bool subdomains = rest.starts_with("[*.]");
  if (subdomains)
    rest.remove_prefix(4);
  HostPort hostPort = splitHostPort(rest);
  // A port left out is any port, except after a named scheme, where it is the scheme's own.
  std::string port = originPort(origin);
  if (hostPort.port.empty()) {
    if (schemeGiven && !port.empty())
      return false;
  } else if (hostPort.port != "*" && hostPort.port != (port.empty() ? "443" : port)) {
    return false;
  }
  std::string_view host = hostPort.host;
  if (host == "*")
    return true;
  if (subdomains) {
    return origin.host == host ||
           (origin.host.size() > host.size() && origin.host.ends_with(host) &&
            origin.host[origin.host.size() - host.size() - 1] == '.');
  }
  if (host.starts_with('.'))
    host.remove_prefix(1);
  return origin.host == host;
}

bool firefoxDomainCovers(std::string_view pattern, const Origin& origin) {
  std::string lower = lowerCase(pattern);
  std::string_view domain = lower;
  if (domain == "*")
    return true;
  if (domain.starts_with("*.")) {
    std::string_view suffix = domain.substr(1); // ".example.com"
    return origin.host == domain.substr(2) || std::string_view(origin.host).ends_with(suffix);
  }
  return origin.host == domain;
}

std::vector<BrowserApproval> approvalsFor(const Origin& origin, const std::filesystem::path& root) {
  std::vector<BrowserApproval> approvals;
  for (Browser browser : kBrowsers) {
    BrowserApproval approval{browser, {}, {}, {}};
    if (browser == Browser::firefox) {
      collectEntries(approval, root,
                     [&](std::string_view p) { return firefoxDomainCovers(p, origin); });
    } else {
      collectEntries(approval, root,
                     [&](std::string_view p) { return chromiumPatternCovers(p, origin); });
    }
    approvals.push_back(std::move(approval));
  }
  return approvals;
}

std::vector<BrowserApproval> allApprovals(const std::filesystem::path& root) {
  std::vector<BrowserApproval> approvals;
  for (Browser browser : kBrowsers) {
    BrowserApproval approval{browser, {}, {}, {}};
    collectEntries(approval, root, [](std::string_view) { return true; });
    approvals.push_back(std::move(approval));
  }
  return approvals;
}

OriginList checkOrigins(const std::vector<std::string>& texts) {
  OriginList list;
  for (const auto& text : texts) {
    std::istringstream in(text);
    for (std::string word; in >> word;) {
      OriginCheck check = checkOrigin(word);
      if (check.origin)
        list.origins.push_back(*std::move(check.origin));
      else
        list.refusals.push_back(std::move(check.refusal));
    }
  }
  return list;
}

std::string joinedOrigins(const std::vector<Origin>& origins) {
  std::string text;
  for (const auto& origin : origins)
    text.append(text.empty() ? "" : " ").append(origin.text);
  return text;
}

} // namespace admin
