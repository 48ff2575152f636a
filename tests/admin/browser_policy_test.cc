// The managed policies that pre-approve sites, written and read in a temporary root.
#include "admin/browser_policy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace admin {
namespace {

Origin origin(std::string_view text) {
  auto check = checkOrigin(text);
  EXPECT_TRUE(check.origin) << check.refusal;
  return check.origin.value_or(Origin{});
}

TEST(Origins, HttpsOriginsAreNormalised) {
  EXPECT_EQ(origin("HTTPS://App.Example.com:443/").text, "https://app.example.com");
  EXPECT_EQ(origin("https://hr.example.org:8443").text, "https://hr.example.org:8443");
  EXPECT_EQ(origin("https://hr.example.org:8443").host, "hr.example.org");
  EXPECT_EQ(origin("https://[::1]:9000").host, "[::1]");
}

TEST(Origins, AnythingButAnHttpsOriginIsRefusedWithTheReason) {
  EXPECT_NE(checkOrigin("http://app.example.com").refusal.find("is not https"), std::string::npos);
  EXPECT_NE(checkOrigin("app.example.com").refusal.find("not an origin"), std::string::npos);
  EXPECT_NE(checkOrigin("https://app.example.com/login").refusal.find("path"), std::string::npos);
  EXPECT_NE(checkOrigin("https://*.example.com").refusal.find("wildcard"), std::string::npos);
  EXPECT_NE(checkOrigin("https://user@example.com").refusal.find("user"), std::string::npos);
  EXPECT_NE(checkOrigin("https://example.com:0").refusal.find("port"), std::string::npos);
  EXPECT_NE(checkOrigin("https://exa mple.com").refusal.find("host"), std::string::npos);
  EXPECT_FALSE(checkOrigin("https://").origin);

  // A list, as an MSI property or a quoted argument gives it: every word checked.
  const OriginList list =
      checkOrigins({"https://a.example  http://b.example", "https://C.example"});
  EXPECT_EQ(joinedOrigins(list.origins), "https://a.example https://c.example");
  ASSERT_EQ(list.refusals.size(), 1u);
  EXPECT_NE(list.refusals[0].find("http://b.example"), std::string::npos);
}

TEST(Patterns, ChromiumPatternsCoverAsTheBrowserReadsThem) {
  Origin app = origin("https://app.example.com");
  EXPECT_TRUE(chromiumPatternCovers("https://app.example.com", app));
  EXPECT_TRUE(chromiumPatternCovers("https://app.example.com:443/", app));
  EXPECT_TRUE(chromiumPatternCovers("[*.]example.com", app));
  EXPECT_TRUE(chromiumPatternCovers("app.example.com", app));
  EXPECT_TRUE(chromiumPatternCovers("*", app));
  EXPECT_FALSE(chromiumPatternCovers("http://app.example.com", app));
  EXPECT_FALSE(chromiumPatternCovers("https://app.example.com:8443", app));
  EXPECT_FALSE(chromiumPatternCovers("[*.]other.com", app));
  EXPECT_FALSE(chromiumPatternCovers("[*.]ple.com", app));
  EXPECT_FALSE(
      chromiumPatternCovers("https://app.example.com", origin("https://app.example.com:8443")));
  EXPECT_TRUE(firefoxDomainCovers("*.example.com", app));
  EXPECT_TRUE(firefoxDomainCovers("app.example.com", app));
  EXPECT_FALSE(firefoxDomainCovers("example.com", app));
}

class PolicyFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("policy-test-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  std::string read(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::filesystem::path firefox() { return policyLocation(Browser::firefox, root_); }
  std::filesystem::path ours(Browser browser) {
    return policyLocation(browser, root_) / kOurPolicyFileName;
  }

  std::filesystem::path root_;
};

TEST_F(PolicyFiles, AllowedOriginIsApprovedForEveryBrowserAndRemovedAgain) {
  Origin app = origin("https://app.example.com");
  allowOrigins({app, origin("https://hr.example.org")}, root_);
  for (const auto& approval : approvalsFor(app, root_)) {
    EXPECT_TRUE(approval.approved()) << browserName(approval.browser);
    if (approval.browser != Browser::firefox) {
      EXPECT_EQ(approval.entries.size(), 2u);
    }
  }
  EXPECT_EQ(
      read(ours(Browser::chromium)),
      R"({"LocalNetworkAccessAllowedForUrls":["https://app.example.com","https://hr.example.org"],)"
      R"("LoopbackNetworkAllowedForUrls":["https://app.example.com","https://hr.example.org"]})"
      "\n");
  struct stat status {};
  ASSERT_EQ(::stat(ours(Browser::edge).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_EQ(
      read(firefox()),
      R"({"policies":{"LocalNetworkAccess":{"SkipDomains":["app.example.com","hr.example.org"]}}})"
      "\n");

  removeOrigins({app}, root_);
  for (const auto& approval : approvalsFor(app, root_))
    EXPECT_FALSE(approval.approved());
  removeOrigins({origin("https://hr.example.org")}, root_);
  EXPECT_FALSE(std::filesystem::exists(ours(Browser::chrome)));
  EXPECT_EQ(read(firefox()), R"({"policies":{}})"
                             "\n");
  // Nothing is left half-written beside the files.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with('.')) << entry.path();
  }
}

TEST_F(PolicyFiles, FirefoxPoliciesOfTheAdministratorAreKept) {
  write(firefox(), R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":{"Enabled":true,)"
                   R"("SkipDomains":["intranet.example"]}}})");
  allowOrigins({origin("https://app.example.com")}, root_);
  removeOrigins({origin("https://app.example.com")}, root_);
  EXPECT_EQ(read(firefox()),
            R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":{"Enabled":true,)"
            R"("SkipDomains":["intranet.example"]}}})"
            "\n");
}

TEST_F(PolicyFiles, AnotherFilesEntriesAreReadAndKept) {
  write(policyLocation(Browser::chrome, root_) / "site.json",
        R"({"LoopbackNetworkAllowedForUrls":["[*.]example.com"]})");
  auto approvals = approvalsFor(origin("https://app.example.com"), root_);
  EXPECT_TRUE(approvals[1].approved());
  EXPECT_FALSE(approvals[0].approved());
  removeOrigins({origin("https://app.example.com")}, root_);
  EXPECT_TRUE(approvalsFor(origin("https://app.example.com"), root_)[1].approved());
}

TEST_F(PolicyFiles, FileReadAfterOursSettingTheSamePolicyOverridesIt) {
  Origin app = origin("https://app.example.com");
  allowOrigins({app}, root_);
  write(policyLocation(Browser::chromium, root_) / "zz-site.json",
        R"({"LoopbackNetworkAllowedForUrls":["https://other.example"]})");
  write(policyLocation(Browser::chromium, root_) / "aa-site.json",
        R"({"LocalNetworkAccessAllowedForUrls":["https://other.example"]})");
  auto chromium = approvalsFor(app, root_)[0];
  ASSERT_EQ(chromium.entries.size(), 1u);
  EXPECT_EQ(chromium.entries[0].policy, kLocalNetworkAccessAllowedForUrls);
  ASSERT_EQ(chromium.overridden.size(), 1u);
  EXPECT_EQ(chromium.overridden[0].policy, kLoopbackNetworkAllowedForUrls);
  EXPECT_EQ(std::filesystem::path(chromium.overridden[0].source).filename(), kOurPolicyFileName);
}

TEST_F(PolicyFiles, HostSharedWithAnotherOriginStaysForFirefox) {
  allowOrigins({origin("https://app.example.com"), origin("https://app.example.com:8443")}, root_);
  removeOrigins({origin("https://app.example.com:8443")}, root_);
  EXPECT_TRUE(approvalsFor(origin("https://app.example.com"), root_)[3].approved());
}

TEST_F(PolicyFiles, BrokenPoliciesJsonChangesNothing) {
  write(firefox(), "{\"policies\": {");
  EXPECT_THROW(allowOrigins({origin("https://app.example.com")}, root_), PolicyError);
  EXPECT_EQ(read(firefox()), "{\"policies\": {");
  EXPECT_FALSE(std::filesystem::exists(ours(Browser::chromium)));
  auto approvals = approvalsFor(origin("https://app.example.com"), root_);
  EXPECT_EQ(approvals[3].unreadable.size(), 1u);
}

} // namespace
} // namespace admin
