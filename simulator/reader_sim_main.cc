// reader-sim: sends one command to the simulated reader of a running service and prints the
// reply, e.g. `reader-sim press 3`. The channel's port comes from --port, else from
// READER_SIM_CONTROL, else the default that `make run` uses.
//
// `press` and `fake` wait until the service has taken the press (at most --wait MS, 5000 by
// default) and print what became of it; --no-wait only queues it.
//
// Exit status: 0 the command was carried out (a waited press: taken), 1 the reader refused it,
// 2 no reader answered, 3 a waited press was not taken in time (and is withdrawn), 4 a waited
// press was dropped by a reset, EXIT_USAGE (64, as sysexits.h has it) the command line was
// not understood and nothing was sent. --help prints the usage and exits 0.
#include "simulator/control_client.h"
#include "simulator/control_commands.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr unsigned DEFAULT_WAIT_MS = 5000;
constexpr unsigned MAX_WAIT_MS = 60000;
constexpr int EXIT_USAGE = 64;

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end == text.data() + text.size() && value != 0;
}

// Prints the usage, on standard output when asked for, else on standard error; the status.
int usage(bool asked) {
  std::fprintf(asked ? stdout : stderr,
               "usage: reader-sim [--port N] [--wait MS | --no-wait] COMMAND [ARGUMENT...]\n%s"
               "press and fake wait until the service has taken the press (--wait MS, default "
               "5000);\n--no-wait only queues it.\n",
               simulator::controlCommandUsage().c_str());
  return asked ? 0 : EXIT_USAGE;
}

} // namespace

int main(int argc, char** argv) {
  unsigned short port = simulator::DEFAULT_CONTROL_PORT;
  if (const char* fromEnvironment = std::getenv(simulator::CONTROL_ENVIRONMENT_VARIABLE))
    parseNumber(std::string_view(fromEnvironment), port);

  unsigned waitMs = DEFAULT_WAIT_MS;
  int first = 1;
  for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
    const std::string_view option = argv[first];
    if (option == "--help") {
      return usage(true);
    } else if (option == "--no-wait") {
      waitMs = 0;
    } else if ((option == "--port" || option == "--wait") && first + 1 < argc) {
      const std::string_view value = argv[++first];
      if (option == "--port" ? !parseNumber(value, port)
                             : !parseNumber(value, waitMs) || waitMs > MAX_WAIT_MS)
        return usage(false);
    } else {
      return usage(false);
    }
  }
  if (first >= argc)
    return usage(false);

  std::string command;
  for (int i = first; i < argc; ++i)
    command += (i > first ? " " : "") + std::string(argv[i]);
  const std::string_view verb = argv[first];
  const bool press = verb == "press" || verb == "fake";
  if (press && waitMs != 0 && command.find(" wait=") == std::string::npos)
    command += " wait=" + std::to_string(waitMs);

  // A waited press is answered within its wait; everything else at once.
  const auto reply =
      simulator::sendControlCommand(port, command, std::chrono::seconds(2),
                                    std::chrono::milliseconds(press ? MAX_WAIT_MS : 0));
  if (!reply) {
    std::fprintf(stderr,
                 "reader-sim: no simulated reader answers on 127.0.0.1:%u "
                 "(is the service running with READER_SIM_CONTROL=%u?)\n",
                 port, port);
    return 2;
  }
  if (reply->starts_with("ok")) {
    if (reply->size() > 3)
      std::printf("%s\n", reply->c_str() + 3);
    return *reply == "ok dropped" ? 4 : 0;
  }
  if (*reply == "error timeout") {
    std::fprintf(stderr, "reader-sim: error timeout: no capture took the press, which is withdrawn "
                         "(is the reader open, by a beginCapture? does a template wait to be "
                         "fetched?)\n");
    return 3;
  }
  std::fprintf(stderr, "reader-sim: %s\n", reply->c_str());
  return 1;
}
