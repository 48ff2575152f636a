// The process itself: the single-instance guard, the listener on port 22001 and the event loop
// that runs until the process is killed. The thread that calls runService() becomes the
// event-loop thread.
#pragma once

#include "rest/connection_registry.h"

namespace service {

inline constexpr const wchar_t* SINGLE_INSTANCE_MUTEX = L"Tobran-Quorvel.exe";
inline constexpr const char* SERVICE_PORT = "22001";

// Returns 0 when another copy already runs in this user logon; ends the process with status 1
// when the port cannot be had; otherwise serves for ever. The service always runs with the
// default `timeouts`; only a test build of the program shortens them.
int runService(const rest::StallTimeouts& timeouts = {});

} // namespace service
