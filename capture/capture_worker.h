// The capture worker: once the reader is open it captures fingers for the rest of the process's
// life. While no template waits it asks the reader for a finger, pausing WORKER_IDLE_MS after
// each attempt except one rejected as fake, and turns each accepted capture into a template:
// directly in Single mode, through enrolment in Enroll mode.
#pragma once

#include "capture/capture_state.h"

namespace capture {

inline constexpr unsigned WORKER_IDLE_MS = 100;

// Starts the worker thread on captureWorkerLoop and keeps its handle in the reader's
// workerThread. Event-loop thread, once, after every reader field the worker reads has been
// written.
bool startCaptureWorker();

// The worker thread's body; runs while stopRequested is 0, which is for ever.
int captureWorkerLoop();

} // namespace capture
