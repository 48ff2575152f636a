// tobran-quorvel-doctor against the real service: each fault induced here, the finding codes it
// reports for it (all of them, in order) and its exit status. The doctor is this build's, or the
// command line in TOBRAN_DOCTOR_COMMAND (e.g. the Windows one under Wine).
#include "e2e/service_fixture.h"

#include "admin/browser_policy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

namespace e2e {
namespace {

using std::chrono::milliseconds;
namespace fs = std::filesystem;

struct DoctorRun {
  int status = -1;
  std::string output;
  std::vector<std::string> codes; // of the JSON report, in order
  std::string detail(const std::string& name) const {
    std::smatch match;
    const std::regex field("\"" + name + "\":\"([^\"]*)\"");
    return std::regex_search(output, match, field) ? match[1].str() : std::string();
  }
};

std::string doctorCommand() {
  const char* command = std::getenv("TOBRAN_DOCTOR_COMMAND");
  return command != nullptr ? command : TOBRAN_DOCTOR_BINARY;
}

// Runs the doctor with `arguments`, the simulated reader's channel named as for the service
// unless `environment` says otherwise ("env" arguments).
DoctorRun runDoctor(const std::string& arguments = "--json",
                    const std::string& environment = "READER_SIM_CONTROL=" +
                                                     std::to_string(TEST_CONTROL_PORT),
                    const std::string& program = doctorCommand()) {
  DoctorRun run;
  FILE* output =
      popen(("env -u READER_SIM_CONTROL " + environment + " " + program + " " + arguments + " 2>&1")
                .c_str(),
            "r");
  if (output == nullptr)
    return run;
  char buffer[4096];
  for (std::size_t size; (size = std::fread(buffer, 1, sizeof buffer, output)) > 0;)
    run.output.append(buffer, size);
  const int status = pclose(output);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const std::regex code("\"code\":\"([^\"]*)\"");
  for (std::sregex_iterator it(run.output.begin(), run.output.end(), code), end; it != end; ++it)
    run.codes.push_back((*it)[1].str());
  return run;
}

using Codes = std::vector<std::string>;
using Doctor = ServiceTest;

TEST_F(Doctor, EverythingRightIsOkAndLeavesTheWaitingTemplateWaiting) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=2&FakeFunOn=0"), SERIAL_REPLY);
  ASSERT_EQ(simWait("press 4"), "ok captured");
  ASSERT_EQ(waitForImage(testing_support::progressReply(0, 1)),
            testing_support::progressReply(0, 1));
  const unsigned long captures = calls("ZKFPM_AcquireFingerprint");

  const DoctorRun run = runDoctor();
  EXPECT_EQ(run.codes, (Codes{"service.running", "library.ok", "reader.ok"})) << run.output;
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.detail("kind"), "simulated");

  // Nothing a capture would notice: no call on the reader, the template still handed over.
  EXPECT_EQ(calls("ZKFPM_AcquireFingerprint"), captures);
  EXPECT_EQ(calls("ZKFPM_OpenDevice"), 1u);
  EXPECT_EQ(get(GET_TEMPLATE_PATH).rfind(testing_support::TEMPLATE_REPLY_START, 0), 0u);
}

TEST_F(Doctor, ReaderNotYetOpenedCannotBeToldWithoutTheSimulatorsWord) {
  const DoctorRun run = runDoctor("--json", "");
  EXPECT_EQ(run.codes, (Codes{"service.running", "library.ok", "reader.not-open-yet"}))
      << run.output;
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_EQ(get(testing_support::INFO_PATH), "{\"ret\":-1}");
}

TEST_F(Doctor, UnpluggedReaderIsNoReader) {
  ASSERT_EQ(get(BEGIN_CAPTURE_PATH + "?type=1&FakeFunOn=1"), SERIAL_REPLY);
  ASSERT_EQ(sim("unplug"), "ok");
  const DoctorRun run = runDoctor();
  EXPECT_EQ(run.codes, (Codes{"service.running", "library.ok", "reader.none"})) << run.output;
  EXPECT_EQ(run.status, 1) << run.output;
}

TEST_F(Doctor, NoServiceIsNotRunningAndTheReaderIsOpenedAndClosedByTheDoctor) {
  service.kill();
  DoctorRun run = runDoctor();
  EXPECT_EQ(run.codes, (Codes{"service.not-running", "library.ok", "reader.ok"})) << run.output;
  EXPECT_EQ(run.status, 1) << run.output;

  // Without its channel named, the simulated reader is not attached. For people: a line each.
  run = runDoctor("", "");
  EXPECT_EQ(run.status, 1) << run.output;
  const std::regex lines(
      "problem    service: .*\\[service\\.not-running\\]\n"
      "ok         library: .*\\[library\\.ok\\]\n"
      "problem    reader: No reader can be opened\\. Next: .*\\[reader\\.none\\]\n");
  EXPECT_TRUE(std::regex_match(run.output, lines)) << run.output;
}

TEST_F(Doctor, PortHeldByAnotherProgramNamesIt) {
  service.kill();
  const int holder = listenOnServicePort();
  ASSERT_GE(holder, 0);

  const DoctorRun run = runDoctor();
  close(holder);
  EXPECT_EQ(run.codes, (Codes{"port.other-program", "library.ok", "reader.ok"})) << run.output;
  EXPECT_EQ(run.status, 1) << run.output;
  if (std::getenv("TOBRAN_DOCTOR_COMMAND") == nullptr) { // Wine knows only its own processes
    EXPECT_EQ(run.detail("pid"), std::to_string(getpid()));
    EXPECT_EQ(run.detail("program"), fs::read_symlink("/proc/self/exe").string());
  }
}

TEST_F(Doctor, PortHeldByAnotherUsersCopyIsNotAnotherProgram) {
  if (geteuid() != 0 || std::getenv("TOBRAN_SERVICE_COMMAND") != nullptr)
    GTEST_SKIP() << "needs root to start a copy as another user, and the native build";
  service.kill();
  char folder[] = "/tmp/tobran-doctor-other-user.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("TOBRAN_SERVICE_COMMAND",
         ("setpriv --reuid=65534 --regid=65534 --clear-groups " + copyServiceInto(folder)).c_str(),
         1);
  ServiceProcess other;
  const bool started = other.start();
  unsetenv("TOBRAN_SERVICE_COMMAND");
  ASSERT_TRUE(started);
  ASSERT_TRUE(other.waitForStartLine()) << other.standardError();

  const DoctorRun run = runDoctor();
  other.kill();
  fs::remove_all(folder);
  EXPECT_EQ(run.codes, (Codes{"port.other-user", "library.ok", "reader.ok"})) << run.output;
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_EQ(run.detail("user"), "nobody");
  EXPECT_EQ(run.detail("pid"), std::to_string(other.pid()));
}

TEST_F(Doctor, LibraryMissingOrLackingAFunction) {
  if (std::getenv("TOBRAN_DOCTOR_COMMAND") != nullptr)
    GTEST_SKIP() << "copies this build's doctor beside a library of its own";
  // The doctor finds libzkfp as the service does: beside itself, in the build folder.
  char folder[] = "/tmp/tobran-doctor-library.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path doctor = fs::path(folder) / "tobran-quorvel-doctor";
  fs::copy_file(TOBRAN_DOCTOR_BINARY, doctor);
  const DoctorRun missing = runDoctor("--json", "LD_LIBRARY_PATH=", doctor.string());
  fs::copy_file(TOBRAN_LACKING_LIBRARY, fs::path(folder) / "libzkfp.so");
  const DoctorRun lacking = runDoctor("--json", "LD_LIBRARY_PATH=", doctor.string());
  fs::remove_all(folder);

  EXPECT_EQ(missing.codes, (Codes{"service.running", "library.missing", "reader.not-open-yet"}))
      << missing.output;
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(lacking.codes, (Codes{"service.running", "library.incomplete", "reader.not-open-yet"}))
      << lacking.output;
  EXPECT_EQ(lacking.status, 1);
  EXPECT_EQ(lacking.detail("missing"), "ZKFPM_DBMerge");
  EXPECT_EQ(lacking.detail("path"), std::string(folder) + "/libzkfp.so");
}

// Writes (or with `remove`, deletes) the policies that pre-approve `origin` for every browser,
// as the installers write them: under `root` for this build's doctor, in the registry of the
// Wine prefix for the Windows one (whose command starts with "wine").
void writePolicies(const admin::Origin& origin, const std::string& root, bool remove = false) {
  const char* windowsDoctor = std::getenv("TOBRAN_DOCTOR_COMMAND");
  if (windowsDoctor == nullptr) {
    if (!remove)
      admin::allowOrigins({origin}, root);
    return;
  }
  const std::string wine =
      std::string(windowsDoctor).substr(0, std::string(windowsDoctor).find(' '));
  for (const admin::Browser browser : admin::kBrowsers)
    for (const std::string& key : admin::registry::listKeys(browser)) {
      const std::string value = browser == admin::Browser::firefox ? origin.host : origin.text;
      const std::string command = wine + " reg " + (remove ? "delete" : "add") + " 'HKLM\\" + key +
                                  "' /f /reg:64" + (remove ? "" : " /v 1 /t REG_SZ /d " + value) +
                                  " > /dev/null 2>&1";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
}

TEST_F(Doctor, BrowserPoliciesPresentOrAbsentForTheOrigin) {
  char root[] = "/tmp/tobran-doctor-policies.XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  const admin::Origin origin = *admin::checkOrigin("https://app.example.com").origin;
  const std::string rootArgument = std::string(" --policy-root ") + root;
  const DoctorRun absent = runDoctor("--json --origin " + origin.text + rootArgument);
  writePolicies(origin, root);
  const DoctorRun present = runDoctor("--json --origin " + origin.text + rootArgument);
  const DoctorRun other = runDoctor("--json --origin https://other.example.com" + rootArgument);
  writePolicies(origin, root, true);
  fs::remove_all(root);

  const Codes running{"service.running", "library.ok", "reader.ok"};
  Codes expected = running;
  expected.insert(expected.end(), 4, "browser.not-approved");
  EXPECT_EQ(absent.codes, expected) << absent.output;
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(other.codes, expected) << other.output;
  EXPECT_EQ(other.status, 1);
  expected = running;
  expected.insert(expected.end(), 4, "browser.approved");
  EXPECT_EQ(present.codes, expected) << present.output;
  EXPECT_EQ(present.status, 0) << present.output;
}

} // namespace
} // namespace e2e
