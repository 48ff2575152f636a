// Opening the reader: beginCapture restarts the capture and, when no reader is open, opens one,
// fixes its capture mode and anti-fake switch, and starts the capture worker the first time.
// A reader that is open but gone (its serial can no longer be read) is closed and opened again.
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace capture {

// The two flags of the beginCapture request, found by plain substring search in the query
// string alone (no decoding, no key/value parsing).
struct BeginCaptureFlags {
  std::int32_t modeArg = 1; // 2 when the query holds "type=2", else 1 (Enroll)
  std::int32_t fakeArg = 1; // 0 when the query holds "FakeFunOn=0", else 1 (check for fakes)
};
BeginCaptureFlags beginCaptureFlags(std::string_view queryString);

// Discards any progress and waiting template, opens the reader if none is open or the open one
// is gone (mode and anti-fake switch are fixed by the call that opens it; a later call's flags
// change nothing while that reader stays), and returns {"ret":R, "data":{"sn":"SERIAL"}} with R
// one of 0, -1, -2, -3 and the reader's serial number (empty unless R is 0). A reader that is
// gone and not back yet gives -2, and info then -1.
std::string beginCapture(std::int32_t modeArg, std::int32_t fakeArg);

} // namespace capture
