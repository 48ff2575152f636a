// The simulated reader's control language: one command per line, one reply line per command.
// The same parser serves two ways in: runControlCommand() for tests in the same process, and
// the loopback channel of control_channel.h for tests and the reader-sim tool outside it.
//
//   press N [length=L] [wait=MS]
//                        queue a press of live finger N (0 <= N <= 999999); one press is used
//                        up by one capture. length=L makes that capture report L bytes (for
//                        testing oversized results; the buffer is never written past its size).
//                        Without wait= the reply is "ok" at once. With wait=MS (1 to 60000)
//                        it comes once the press has been taken and the service is done with
//                        it: "ok captured"; "ok dropped" when reset removed it first; or
//                        "error timeout" when no capture took it in time, and it is withdrawn.
//                        At most 64 presses wait in the queue; one more is refused.
//   fake N [wait=MS]     the same for a finger that the anti-fake check rejects; taken, it
//                        replies "ok fake"
//   unplug | plug        detach the reader / attach it again
//   fail CALL | pass CALL
//                        make CALL fail from now on / succeed again; CALL is one of
//                        init, dbinit, merge, params (every ZKFPM_GetParameters)
//   serial TEXT          the serial number (the rest of the line, may be empty)
//   image W H            the image size the reader reports (0 0 is allowed)
//   slow MS              parameter reads, matches, merges and base64 conversions take MS
//                        longer (0 to 1000), as on a slow computer
//   pending              reply "ok N": presses queued and not yet captured
//   calls                reply "ok NAME=COUNT ...": the SDK calls seen so far, by function,
//                        with parameter calls also counted as NAME:CODE, e.g.
//                        ZKFPM_GetParameters:2004=3; only non-zero counts are listed
//   reset                back to the defaults: attached, nothing pressed or failing, no calls;
//                        a reader the service holds open stays open and keeps capturing
//   help                 reply "ok" followed by the command list
//
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

} // namespace simulator
