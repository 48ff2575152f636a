// The capture worker: once a reader is open it captures fingers for the rest of the process's
// life. While no template waits it asks the reader for a finger, pausing WORKER_IDLE_MS after
// each attempt except one rejected as fake, and turns each accepted capture into a template:
// directly in Single mode, through enrolment in Enroll mode.
//
// The worker keeps no reader of its own. For each attempt it takes the reader-call lock, asks
// CaptureState::Reader::open() for the open reader, captures from it and uses the capture, and
// lets the lock go; it keeps nothing of the reader past that. So a reader that beginCapture
// closes and opens again (it does so under the same lock, between two attempts) is simply the
// one the next attempt finds, and while none is open the worker only pauses.
#pragma once

#include "capture/capture_state.h"

namespace capture {

inline constexpr unsigned WORKER_IDLE_MS = 100;

// Starts the worker thread on captureWorkerLoop, unless it was started already: one worker for
// the life of the process, whatever reader is open. Event-loop thread, by the open sequence,
// once a reader is published. Returns whether the worker runs.
bool startCaptureWorker(CaptureState::Reader& reader) REQUIRES(reader.callMutex);

// The worker thread's body; runs while stopRequested is 0, which is for ever.
int captureWorkerLoop();

} // namespace capture
