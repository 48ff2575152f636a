// The simulated reader's control channel: a line-oriented TCP listener on 127.0.0.1 at the
// port READER_SIM_CONTROL names, answering each command line as runControlCommand would.
// Clients are served side by side: each one's lines are carried out in order, and a client
// that idles, waits for a press or does not read its replies holds up nobody else. A line
// longer than 4096 bytes, or a reply left unread for 5 s, closes that client alone.
//
// The channel runs on a thread of its own, started once when the library loads.
#pragma once

namespace simulator {

// Starts the channel's thread when READER_SIM_CONTROL holds a port number, and attaches the
// simulated reader; returns whether it did. Without it the reader stays detached: the library
// behaves as the SDK on a computer with no reader. A port that is taken (for instance by
// another copy of the service) leaves the channel closed; the reader is attached regardless.
bool startControlChannelFromEnvironment();

} // namespace simulator
