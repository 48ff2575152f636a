#include "admin/doctor.h"

#include "capture/capture_state.h"
#include "capture/json_text.h"
#include "platform/diagnosis.h"
#include "platform/platform.h"
#include "reader/zkfp.h"
#include "rest/reply_framing.h"
#include "service/service.h"
#include "simulator/control_client.h"
#include "simulator/control_commands.h"
#include "simulator/simulated_reader.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace admin {
namespace {

namespace asio = boost::asio;
using std::chrono::milliseconds;

constexpr milliseconds ANSWER_TIMEOUT(3000);
constexpr milliseconds SIMULATOR_TIMEOUT(1000);

std::uint16_t servicePort() { return static_cast<std::uint16_t>(std::atoi(service::SERVICE_PORT)); }

// What the port answered to a request for info.
struct InfoAnswer {
  bool connected = false;
  std::string bytes;     // everything read before the reply was whole, failed or timed out
  std::string_view body; // the info reply it is, byte for byte; empty when none
};

// The service's two possible replies to info, framed as it frames them.
std::string framedInfo(std::string_view body) {
  std::string reply;
  rest::sendJsonReply(reply, body);
  return reply;
}

InfoAnswer askInfo() {
  const std::string open = framedInfo(capture::INFO_OPEN_REPLY);
  const std::string closed = framedInfo(capture::INFO_CLOSED_REPLY);
  InfoAnswer answer;
  asio::io_context context(1);
  asio::ip::tcp::socket socket(context);
  const std::string request = "GET /varuvezivuv/info HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  char buffer[512];
  // The service keeps the connection open: reading stops once what came is a whole reply or
  // can no longer become one.
  std::function<void()> doRead = [&] {
    socket.async_read_some(asio::buffer(buffer), [&](boost::system::error_code error,
                                                     std::size_t size) {
      answer.bytes.append(buffer, size);
      const std::string_view bytes = answer.bytes;
      const bool mayBecomeOne = open.starts_with(bytes) || closed.starts_with(bytes);
      if (!error && mayBecomeOne && bytes != open && bytes != closed)
        doRead();
    });
  };
  const auto onWritten = [&](boost::system::error_code error, std::size_t) {
    if (!error)
      doRead();
  };
  const auto onConnected = [&](boost::system::error_code error) {
    answer.connected = !error;
    if (!error)
      asio::async_write(socket, asio::buffer(request), onWritten);
  };
  socket.async_connect({asio::ip::address_v4::loopback(), servicePort()}, onConnected);
  context.run_for(ANSWER_TIMEOUT);
  if (answer.bytes == open)
    answer.body = capture::INFO_OPEN_REPLY;
  else if (answer.bytes == closed)
    answer.body = capture::INFO_CLOSED_REPLY;
  return answer;
}

std::string describe(const platform::ListeningProcess& process) {
  std::string text = process.pid > 0 ? "process " + std::to_string(process.pid) : "a process";
  if (!process.program.empty())
    text += " (" + process.program + ")";
  if (!process.user.empty())
    text += " of user " + process.user;
  return text;
}

void addProcessDetails(Finding& finding, const platform::ListeningProcess& process) {
  if (process.pid > 0)
    finding.details.emplace_back("pid", std::to_string(process.pid));
  finding.details.emplace_back("program", process.program);
  finding.details.emplace_back("user", process.user);
}

// Steps 1 and 2: the service of this user, and who holds the port when it is not ours. True
// in `serviceAnswers` when the port answers as the service does, whoever runs it.
Finding checkService(const InfoAnswer& answer, bool& serviceAnswers) {
  const platform::LockProbe lock = platform::singleInstanceLockHeld(service::SINGLE_INSTANCE_MUTEX);
  const std::optional<platform::ListeningProcess> listener = platform::findListener(servicePort());
  serviceAnswers = !answer.body.empty();
  Finding finding;
  finding.check = "service";
  if (serviceAnswers && listener && listener->userKnown && !listener->sameUser) {
    finding.check = "port";
    finding.status = FindingStatus::Problem;
    finding.code = "port.other-user";
    finding.text = "Port 22001 is held by another user's copy of the service, " +
                   describe(*listener) + ": pages here are answered by it and its reader, and " +
                   "this user's copy cannot listen.";
    finding.next = "Ask that user to log out (their copy ends then, and this user's copy takes "
                   "over), or end it as an administrator.";
    addProcessDetails(finding, *listener);
  } else if (serviceAnswers) {
    finding.code = "service.running";
    finding.text =
        "The service is running" +
        std::string(lock == platform::LockProbe::Held ? " in this logon" : "") +
        (listener && listener->pid > 0 ? " (process " + std::to_string(listener->pid) + ")"
                                       : std::string()) +
        " and answers on port 22001 as it should.";
    if (listener)
      addProcessDetails(finding, *listener);
  } else if (listener || answer.connected) {
    finding.check = "port";
    finding.status = FindingStatus::Problem;
    finding.code = "port.other-program";
    finding.text = "Port 22001 is held by another program, " +
                   (listener ? describe(*listener) : std::string("which could not be identified")) +
                   ", which does not answer as the service does" +
                   (lock == platform::LockProbe::Held
                        ? "; a copy of the service runs in this logon but cannot listen."
                        : ".");
    finding.next = "End that program or move it to another port, then start the service again "
                   "(log out and in, or run tobran-quorvel).";
    if (listener)
      addProcessDetails(finding, *listener);
  } else if (lock == platform::LockProbe::Held) {
    finding.status = FindingStatus::Problem;
    finding.code = "service.not-listening";
    finding.text = "A copy of the service runs in this logon, but nothing listens on port 22001.";
    finding.next = "End that copy (it may be stuck starting) and start the service again.";
  } else {
    finding.status = FindingStatus::Problem;
    finding.code = "service.not-running";
    finding.text = "The service is not running: nothing listens on port 22001.";
    finding.next = "Start it: log out and in (it starts at logon once installed), or run "
                   "tobran-quorvel.";
  }
  return finding;
}

// Whether the file holds `text`: our simulated reader carries its default serial number.
bool fileContains(const std::string& path, std::string_view text) {
  std::ifstream file(path, std::ios::binary);
  const std::string content{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return content.find(text) != std::string::npos;
}

// Step 3: the library the service would load, by the loader's search order for it.
Finding checkLibrary(const platform::LoadedLibrary& library) {
  Finding finding;
  finding.check = "library";
  if (library.handle == nullptr) {
    finding.status = FindingStatus::Problem;
    finding.code = "library.missing";
    finding.text = "The reader's library libzkfp cannot be loaded: " + library.error + ".";
    finding.next = "Put the vendor's library where the service looks for it (see the README, "
                   "\"A real reader\"), or reinstall the service for the simulated one.";
    return finding;
  }
  finding.details.emplace_back("path", library.path);
  std::string missing;
#define ZKFP_CHECK_EXPORT(result, name, parameters)              \
  if (platform::librarySymbol(library.handle, #name) == nullptr) \
    missing += (missing.empty() ? "" : ", ") + std::string(#name);
  ZKFP_FUNCTIONS(ZKFP_CHECK_EXPORT)
#undef ZKFP_CHECK_EXPORT
  const bool simulated = fileContains(library.path, simulator::DEFAULT_SERIAL_NUMBER);
  const std::string which = simulated ? "the simulated reader's library" : "the vendor's library";
  finding.details.emplace_back("kind", simulated ? "simulated" : "vendor");
  if (!missing.empty()) {
    finding.status = FindingStatus::Problem;
    finding.code = "library.incomplete";
    finding.text = library.path + " (" + which + ") lacks " + missing +
                   ": the service fails with it, at start or at the first call of one of them.";
    finding.next = "Use a libzkfp of the reader SDK the service is made for, with every function.";
    finding.details.emplace_back("missing", missing);
    return finding;
  }
  finding.code = "library.ok";
  finding.text = "The service loads " + library.path + " (" + which +
                 "), which exports every function it uses.";
  return finding;
}

// The simulated reader's answer to "attached" when its control channel is named here and
// answers: true or false; nothing otherwise.
std::optional<bool> simulatedReaderAttached() {
  const char* named = std::getenv(simulator::CONTROL_ENVIRONMENT_VARIABLE);
  unsigned short port = 0;
  if (named == nullptr ||
      std::from_chars(named, named + std::strlen(named), port).ec != std::errc{} || port == 0)
    return std::nullopt;
  const std::optional<std::string> reply =
      simulator::sendControlCommand(port, "attached", SIMULATOR_TIMEOUT);
  if (reply == "ok yes")
    return true;
  if (reply == "ok no")
    return false;
  return std::nullopt;
}

Finding readerFinding(FindingStatus status, const char* code, std::string text,
                      std::string next = {}) {
  return {"reader", status, code, std::move(text), std::move(next), {}};
}

const char* const ATTACH_READER =
    "Attach the reader and install its driver as the vendor says. The simulated reader is "
    "attached only while its control channel is named (READER_SIM_CONTROL) and not unplugged "
    "(reader-sim plug).";

// Step 4: the reader as the running service sees it (info alone: nothing a capture would
// notice), or, with no service running, whether the library opens one.
// `attached` is the simulated reader's word, asked before the library was loaded here (ours
// would open the same channel when no service holds it).
Finding checkReader(const InfoAnswer& answer, bool serviceAnswers, std::optional<bool> attached,
                    bool otherCopyRuns, const platform::LoadedLibrary& library) {
  if (serviceAnswers) {
    if (attached == false)
      return readerFinding(FindingStatus::Problem, "reader.none",
                           "The service's simulated reader is detached.", ATTACH_READER);
    if (answer.body == capture::INFO_OPEN_REPLY)
      return readerFinding(FindingStatus::Ok, "reader.ok", "The service has the reader open.");
    if (attached == true)
      return readerFinding(FindingStatus::Ok, "reader.ok",
                           "The service's simulated reader is attached; the service opens it at "
                           "a page's first capture.");
    return readerFinding(FindingStatus::CantTell, "reader.not-open-yet",
                         "The service has not opened a reader yet: it does so at a page's first "
                         "capture, which this check does not start.",
                         "Start a capture from the page: \"no reader\" (-2) there means the "
                         "reader is not attached or its driver is missing.");
  }
  if (otherCopyRuns || library.handle == nullptr)
    return readerFinding(FindingStatus::CantTell, "reader.not-checked",
                         otherCopyRuns ? "Not checked: a copy of the service may hold the reader."
                                       : "Not checked: the library cannot be loaded.");
  using Init = decltype(&ZKFPM_Init);
  using Terminate = decltype(&ZKFPM_Terminate);
  using OpenDevice = decltype(&ZKFPM_OpenDevice);
  using CloseDevice = decltype(&ZKFPM_CloseDevice);
  const auto init = reinterpret_cast<Init>(platform::librarySymbol(library.handle, "ZKFPM_Init"));
  const auto terminate =
      reinterpret_cast<Terminate>(platform::librarySymbol(library.handle, "ZKFPM_Terminate"));
  const auto openDevice =
      reinterpret_cast<OpenDevice>(platform::librarySymbol(library.handle, "ZKFPM_OpenDevice"));
  const auto closeDevice =
      reinterpret_cast<CloseDevice>(platform::librarySymbol(library.handle, "ZKFPM_CloseDevice"));
  if (!init || !terminate || !openDevice || !closeDevice)
    return readerFinding(FindingStatus::CantTell, "reader.not-checked",
                         "Not checked: the library lacks functions.");
  if (init() != 0)
    return readerFinding(FindingStatus::Problem, "reader.init-failed",
                         "The reader's library fails to initialise.",
                         "Reinstall the reader's driver and the vendor's library.");
  void* const device = openDevice(0);
  if (device == nullptr) {
    terminate();
    return readerFinding(FindingStatus::Problem, "reader.none", "No reader can be opened.",
                         ATTACH_READER);
  }
  closeDevice(device);
  terminate();
  return readerFinding(FindingStatus::Ok, "reader.ok",
                       "A reader is attached: it opened, and was closed again at once.");
}

const char* statusName(FindingStatus status) {
  switch (status) {
  case FindingStatus::Ok:
    return "ok";
  case FindingStatus::Problem:
    return "problem";
  case FindingStatus::CantTell:
    return "cant-tell";
  }
  return "";
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  capture::appendJsonStringContent(out, text);
  out += '"';
}

} // namespace

std::vector<Finding> diagnose(const DoctorOptions& options) {
  std::vector<Finding> findings;
  const InfoAnswer answer = askInfo();
  bool serviceAnswers = false;
  findings.push_back(checkService(answer, serviceAnswers));
  const bool otherCopyRuns = findings.back().code == "service.not-listening";
  const std::optional<bool> attached =
      serviceAnswers ? simulatedReaderAttached() : std::optional<bool>();
  const platform::LoadedLibrary library = platform::loadReaderLibrary();
  findings.push_back(checkLibrary(library));
  findings.push_back(checkReader(answer, serviceAnswers, attached, otherCopyRuns, library));
  if (options.origin)
    appendBrowserFindings(*options.origin, options.policyRoot, findings);
  return findings;
}

int exitStatus(const std::vector<Finding>& findings) {
  int status = 0;
  for (const Finding& finding : findings) {
    if (finding.status == FindingStatus::Problem)
      return 1;
    if (finding.status == FindingStatus::CantTell)
      status = 2;
  }
  return status;
}

std::string humanReport(const std::vector<Finding>& findings) {
  std::string report;
  for (const Finding& finding : findings) {
    std::string status =
        finding.status == FindingStatus::CantTell ? "can't tell" : statusName(finding.status);
    status.resize(11, ' ');
    report += status + finding.check + ": " + finding.text;
    if (!finding.next.empty())
      report += " Next: " + finding.next;
    report += " [" + finding.code + "]\n";
  }
  return report;
}

std::string jsonReport(const std::vector<Finding>& findings) {
  std::string json = "{\"exitStatus\":" + std::to_string(exitStatus(findings)) + ",\"findings\":[";
  for (const Finding& finding : findings) {
    json += &finding == &findings.front() ? "{" : ",{";
    std::vector<std::pair<std::string, std::string>> fields = {{"check", finding.check},
                                                               {"status",
                                                                statusName(finding.status)},
                                                               {"code", finding.code},
                                                               {"text", finding.text},
                                                               {"next", finding.next}};
    fields.insert(fields.end(), finding.details.begin(), finding.details.end());
    for (const auto& [name, value] : fields) {
      if (&name != &fields.front().first)
        json += ',';
      appendJsonString(json, name);
      json += ':';
      appendJsonString(json, value);
    }
    json += '}';
  }
  return json + "]}\n";
}

} // namespace admin
