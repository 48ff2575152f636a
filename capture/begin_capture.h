// Opening the reader: beginCapture restarts the capture and, the first time it succeeds, opens
// the reader, fixes the capture mode and the anti-fake switch, and starts the capture worker.
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

// Discards any progress and waiting template, opens the reader if it is not open yet (mode and
// anti-fake switch are fixed by the call that opens it), and returns
// {"ret":R, "data":{"sn":"SERIAL"}} with R one of 0, -1, -2, -3 and the reader's serial number
// (empty unless R is 0).
std::string beginCapture(std::int32_t modeArg, std::int32_t fakeArg);

} // namespace capture
