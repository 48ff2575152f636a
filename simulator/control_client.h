// Sends control commands to a simulated reader's channel on 127.0.0.1 (see control_commands.h).
// Used by the reader-sim tool and the end-to-end tests. Any thread; each call makes its own
// connection.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace simulator {

// Sends one command line and returns the reply line, or nothing when no channel answered.
// Connection attempts are repeated until `timeout`, so a channel that is still starting is
// waited for; once connected, the reply is waited for until `timeout` plus `replyWait` (the
// wait= of a press).
std::optional<std::string> sendControlCommand(unsigned short port, std::string_view command,
                                              std::chrono::milliseconds timeout,
                                              std::chrono::milliseconds replyWait = {});

} // namespace simulator
