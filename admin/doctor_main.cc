// The entry of tobran-quorvel-doctor: reads its options, runs every check, prints the report.
#include "admin/doctor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* USAGE =
    "usage: tobran-quorvel-doctor [--json] [--origin https://app.example.com] [--policy-root DIR]\n"
    "Checks why a web page cannot use the fingerprint reader: the service, port 22001, the\n"
    "reader's library, the reader and, given the page's origin, the browsers' policies\n"
    "(the files under DIR instead of /, e.g. a system image; Windows reads its registry).\n"
    "Exit status: 0 a page can use the reader now, 1 a problem was found, 2 something could\n"
    "not be told, 64 a wrong command line.\n";
constexpr int EXIT_USAGE = 64;

} // namespace

int main(int argc, char** argv) {
  admin::DoctorOptions options;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--origin") == 0 && i + 1 < argc) {
      options.origin = argv[++i];
    } else if (std::strcmp(argv[i], "--policy-root") == 0 && i + 1 < argc) {
      options.policyRoot = argv[++i];
    } else {
      std::fputs(USAGE, std::strcmp(argv[i], "--help") == 0 ? stdout : stderr);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : EXIT_USAGE;
    }
  }
  const std::vector<admin::Finding> findings = admin::diagnose(options);
  const std::string report = json ? admin::jsonReport(findings) : admin::humanReport(findings);
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
  // The reader's library, loaded to check it, may have left threads of its own running (the
  // simulated reader's control channel does, a vendor's may): the process ends here rather than
  // run exit handlers and destructors, its own and the library's, under their feet.
  std::_Exit(admin::exitStatus(findings));
}
