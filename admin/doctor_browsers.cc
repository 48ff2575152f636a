// Step 5 of the doctor: the browsers' managed policies for one origin, read through the policy
// library (browser_policy.h), and what the person is asked where none pre-approves it.
#include "admin/doctor.h"

namespace admin {
namespace {

// What a page from an origin no policy approves meets on its first request to the service.
std::string askedOtherwise(Browser browser) {
  if (browser == Browser::firefox)
    return "Firefox, where its local network prompt is rolled out, asks the person to allow "
           "the site to reach devices on this computer, and the page waits for the answer.";
  return "the browser asks the person to allow the site to reach devices on this computer "
         "(local network access); declined or dismissed, the page cannot reach the service.";
}

} // namespace

void appendBrowserFindings(const std::string& origin, const std::filesystem::path& policyRoot,
                           std::vector<Finding>& findings) {
  const OriginCheck check = checkOrigin(origin);
  if (!check.origin) {
    findings.push_back({"browser",
                        FindingStatus::Problem,
                        "browser.bad-origin",
                        "The origin " + origin + " cannot be pre-approved: " + check.refusal + ".",
                        "Give the page's https origin, e.g. https://app.example.com: only a "
                        "secure page may reach the service.",
                        {}});
    return;
  }
  for (const BrowserApproval& approval : machineApprovals(*check.origin, policyRoot)) {
    Finding finding;
    finding.check = "browser";
    const std::string name(browserName(approval.browser));
    finding.details.emplace_back("browser", name);
    if (approval.approved()) {
      const PolicyEntry& entry = approval.entries.front();
      finding.code = "browser.approved";
      finding.text = name + " lets " + check.origin->text + " reach the service without asking (" +
                     entry.policy + " \"" + entry.pattern + "\" in " + entry.source + ").";
      finding.details.emplace_back("source", entry.source);
    } else if (!approval.unreadable.empty()) {
      finding.status = FindingStatus::CantTell;
      finding.code = "browser.unreadable";
      finding.text = name + "'s policies cannot be read: " + approval.unreadable.front() + ".";
      finding.next = "Make each policy file a JSON object, or remove it.";
    } else {
      finding.status = FindingStatus::Problem;
      finding.code = "browser.not-approved";
      finding.text = "No managed policy of " + name + " pre-approves " + check.origin->text + ": " +
                     askedOtherwise(approval.browser);
      finding.next = "Pre-approve the site: on Linux sudo tobran-quorvel-allow-site " +
                     check.origin->text +
                     ", on Windows the per-machine installer's ALLOWED_ORIGINS; or the person "
                     "allows it when asked.";
    }
    findings.push_back(std::move(finding));
  }
}

} // namespace admin
