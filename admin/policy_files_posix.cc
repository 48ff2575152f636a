// Writing the managed policy files (Linux): every change is planned in full, from the files as
// they are, before the first file is replaced, so that a file we cannot read leaves all as it was.
#include "admin/browser_policy.h"

#include <boost/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace admin {
namespace {

[[noreturn]] void failWith(const std::string& what) {
  throw PolicyError(what + ": " + std::strerror(errno));
}

// The object in `path`, or an empty one when there is no such file (as readJsonObject does, the
// text is parsed here again so that this file needs nothing private of the reading side).
boost::json::object objectOrEmpty(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error))
    return {};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr)
    failWith("cannot read " + path.string());
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    text.append(buffer, n);
  std::fclose(file);
  boost::system::error_code parseError;
  boost::json::value value = boost::json::parse(text, parseError);
  if (parseError) {
    throw PolicyError(path.string() + " is not valid JSON (" + parseError.message() +
                      "): left as it is, nothing changed");
  }
  if (!value.is_object())
    throw PolicyError(path.string() + " does not hold a JSON object: nothing changed");
  return std::move(value.as_object());
}

// The array `name` of `object`, made when missing; a PolicyError when it is something else.
boost::json::array& arrayIn(boost::json::object& object, std::string_view name,
                            const std::filesystem::path& path) {
  boost::json::value& value = object[name];
  if (value.is_null())
    value.emplace_array();
  if (!value.is_array()) {
    throw PolicyError(path.string() + ": " + std::string(name) + " is not a list: nothing changed");
  }
  return value.as_array();
}
boost::json::object& objectIn(boost::json::object& object, std::string_view name,
                              const std::filesystem::path& path) {
  boost::json::value& value = object[name];
  if (value.is_null())
    value.emplace_object();
  if (!value.is_object()) {
    throw PolicyError(path.string() + ": " + std::string(name) +
                      " is not an object: nothing changed");
  }
  return value.as_object();
}

bool contains(const boost::json::array& list, std::string_view text) {
  return std::any_of(list.begin(), list.end(), [&](const boost::json::value& v) {
    return v.is_string() && v.as_string() == text;
  });
}
void eraseText(boost::json::array& list, std::string_view text) {
  for (auto it = list.begin(); it != list.end();) {
    it = it->is_string() && it->as_string() == text ? list.erase(it) : it + 1;
  }
}

// Makes `folder` and its missing parents, each 0755 whatever the umask: browsers run as users.
void makeFolders(const std::filesystem::path& folder) {
  std::error_code error;
  if (std::filesystem::is_directory(folder, error))
    return;
  makeFolders(folder.parent_path());
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
    failWith("cannot make " + folder.string());
  ::chmod(folder.c_str(), 0755);
}

// Replaces `path` with `text` atomically: readers see the old file or the new one, never a part.
void replaceFile(const std::filesystem::path& path, const std::string& text) {
  makeFolders(path.parent_path());
  // A name starting with a dot, which Chromium passes over while it is being written.
  std::string name = ".";
  name.append(path.filename().string()).append(".XXXXXX");
  std::string temporary = (path.parent_path() / name).string();
  int fd = ::mkstemp(temporary.data());
  if (fd < 0)
    failWith("cannot write in " + path.parent_path().string());
  auto abandon = [&](const std::string& what) {
    int saved = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    errno = saved;
    failWith(what);
  };
  for (size_t written = 0; written < text.size();) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      abandon("cannot write " + temporary);
    }
    written += static_cast<size_t>(n);
  }
  if (::fchmod(fd, 0644) != 0)
    abandon("cannot set the mode of " + temporary);
  if (::fsync(fd) != 0)
    abandon("cannot write " + temporary);
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    failWith("cannot write " + temporary);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    failWith("cannot replace " + path.string());
  }
  // The rename itself reaches the disk with the folder.
  int folder = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}

struct PlannedFile {
  std::filesystem::path path;
  std::optional<boost::json::object> content; // nothing: delete the file
};

void carryOut(const std::vector<PlannedFile>& plan) {
  for (const auto& file : plan) {
    if (file.content) {
      replaceFile(file.path, boost::json::serialize(*file.content) + "\n");
    } else if (::unlink(file.path.c_str()) != 0 && errno != ENOENT) {
      failWith("cannot remove " + file.path.string());
    }
  }
}

std::filesystem::path ourFile(Browser browser, const std::filesystem::path& root) {
  return policyLocation(browser, root) / kOurPolicyFileName;
}

// The Firefox plan: `change` applied to SkipDomains of policies.json, with everything else in
// it kept; an emptied SkipDomains, and then LocalNetworkAccess, are taken out, so that a removal
// leaves the administrator's policies as they were. Nothing when there is no file and nothing to
// add.
template <typename Change>
std::optional<PlannedFile> planFirefox(const std::filesystem::path& root, Change change) {
  std::filesystem::path path = policyLocation(Browser::firefox, root);
  std::error_code error;
  bool existed = std::filesystem::exists(path, error);
  boost::json::object file = objectOrEmpty(path);
  boost::json::object& policies = objectIn(file, "policies", path);
  boost::json::object& lna = objectIn(policies, kFirefoxLocalNetworkAccess, path);
  boost::json::array& skip = arrayIn(lna, kFirefoxSkipDomains, path);
  change(skip);
  if (skip.empty())
    lna.erase(kFirefoxSkipDomains);
  if (lna.empty())
    policies.erase(kFirefoxLocalNetworkAccess);
  if (!existed && policies.empty())
    return std::nullopt;
  return PlannedFile{path, std::move(file)};
}

} // namespace

void allowOrigins(const std::vector<Origin>& origins, const std::filesystem::path& root) {
  std::vector<PlannedFile> plan;
  for (Browser browser : kBrowsers) {
    if (browser == Browser::firefox)
      continue;
    std::filesystem::path path = ourFile(browser, root);
    boost::json::object file = objectOrEmpty(path);
    for (std::string_view policy : kChromiumListPolicies) {
      boost::json::array& list = arrayIn(file, policy, path);
      for (const auto& origin : origins) {
        if (!contains(list, origin.text))
          list.emplace_back(origin.text);
      }
    }
    plan.push_back({path, std::move(file)});
  }
  if (auto firefox = planFirefox(root, [&](boost::json::array& skip) {
        for (const auto& origin : origins) {
          if (!contains(skip, origin.host))
            skip.emplace_back(origin.host);
        }
      })) {
    plan.push_back(std::move(*firefox));
  }
  carryOut(plan);
}

void removeOrigins(const std::vector<Origin>& origins, const std::filesystem::path& root) {
  std::vector<PlannedFile> plan;
  std::set<std::string> hostsStillOurs;
  for (Browser browser : kBrowsers) {
    if (browser == Browser::firefox)
      continue;
    std::filesystem::path path = ourFile(browser, root);
    std::error_code error;
    if (!std::filesystem::exists(path, error))
      continue;
    boost::json::object file = objectOrEmpty(path);
    for (std::string_view policy : kChromiumListPolicies) {
      boost::json::array& list = arrayIn(file, policy, path);
      for (const auto& origin : origins)
        eraseText(list, origin.text);
      for (const auto& entry : list) {
        if (!entry.is_string())
          continue;
        if (auto kept = checkOrigin(entry.as_string()).origin)
          hostsStillOurs.insert(kept->host);
      }
      if (list.empty())
        file.erase(policy);
    }
    plan.push_back({path, file.empty() ? std::nullopt : std::optional(std::move(file))});
  }
  if (auto firefox = planFirefox(root, [&](boost::json::array& skip) {
        for (const auto& origin : origins) {
          if (!hostsStillOurs.contains(origin.host))
            eraseText(skip, origin.host);
        }
      })) {
    plan.push_back(std::move(*firefox));
  }
  carryOut(plan);
}

} // namespace admin
