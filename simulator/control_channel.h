// The simulated reader's control channel: a line-oriented TCP listener on 127.0.0.1 at the
// port READER_SIM_CONTROL names, answering each command line with runControlCommand's reply.
// One client is served at a time; the reader-sim tool and the tests connect per command.
//
// The channel runs on a thread of its own, started once when the library loads.
#pragma once

namespace simulator {

// Starts the channel's thread when READER_SIM_CONTROL holds a port number; returns whether it
// did. A port that is taken (for instance by another copy of the service) leaves the channel
// closed; the reader works regardless.
bool startControlChannelFromEnvironment();

} // namespace simulator
