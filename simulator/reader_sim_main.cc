// reader-sim: sends one command to the simulated reader of a running service and prints the
// reply, e.g. `reader-sim press 3`. The channel's port comes from --port, else from
// READER_SIM_CONTROL, else the default that `make run` uses.
//
// Exit status: 0 the command was carried out, 1 the reader refused it, 2 no reader answered.
#include "simulator/control_client.h"
#include "simulator/control_commands.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool parsePort(std::string_view text, unsigned short& port) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc{} && end == text.data() + text.size() && port != 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: reader-sim [--port N] COMMAND [ARGUMENT...]\n"
               "  press N [length=L]  a live press of finger N    fake N       a fake finger\n"
               "  unplug | plug       remove / attach the reader  pending      presses queued\n"
               "  fail CALL|pass CALL CALL: init dbinit merge params\n"
               "  serial TEXT | image W H | calls | reset | help\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  unsigned short port = simulator::DEFAULT_CONTROL_PORT;
  if (const char* fromEnvironment = std::getenv(simulator::CONTROL_ENVIRONMENT_VARIABLE))
    parsePort(fromEnvironment, port);

  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--port") == 0) {
    if (!parsePort(argv[2], port))
      return usage();
    first = 3;
  }
  if (first >= argc)
    return usage();

  std::string command;
  for (int i = first; i < argc; ++i)
    command += (i > first ? " " : "") + std::string(argv[i]);

  const auto reply = simulator::sendControlCommand(port, command, std::chrono::seconds(2));
  if (!reply) {
    std::fprintf(stderr, "reader-sim: no simulated reader answers on 127.0.0.1:%u "
                         "(is the service running with READER_SIM_CONTROL=%u?)\n",
                 port, port);
    return 2;
  }
  if (reply->starts_with("ok")) {
    if (reply->size() > 3)
      std::printf("%s\n", reply->c_str() + 3);
    return 0;
  }
  std::fprintf(stderr, "reader-sim: %s\n", reply->c_str());
  return 1;
}
