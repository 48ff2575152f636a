// The simulated reader's control language: one command per line, one reply line per command.
// The same parser serves two ways in: runControlCommand() for tests in the same process, and
// the loopback channel of control_channel.h for tests and the reader-sim tool outside it.
//
// The commands, their arguments and replies are one table, CONTROL_COMMANDS in
// control_commands.cc, which also gives the `help` reply and reader-sim's usage text. A press
// with wait= replies once the service has taken the press; every other command at once.
// Replies: "ok" with optional text after one space, or "error <reason>".
// Thread safety: runControlCommand may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace simulator {

// The environment variable that names the control channel: a TCP port on 127.0.0.1. Only the
// simulated reader and its tool read it. Without it no reader is attached (opening gives null);
// a command run in-process attaches it too.
inline constexpr const char* CONTROL_ENVIRONMENT_VARIABLE = "READER_SIM_CONTROL";
inline constexpr unsigned short DEFAULT_CONTROL_PORT = 22002;

// Runs one command line against the simulated reader of this process and returns the reply
// line (without line end). A press with wait= blocks the caller until its reply.
std::string runControlCommand(std::string_view line);

// Every command, one a line: its arguments and what it does. For reader-sim's usage text.
std::string controlCommandUsage();

} // namespace simulator
