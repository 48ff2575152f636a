#include "capture/capture_worker.h"

#include "capture/enrollment.h"
#include "reader/zkfp.h"

#include <cstring>

namespace capture {
namespace {

constexpr std::int32_t LIVE_FINGER_BITS = 0x1F;

enum class Capture { None, Fake, Accepted };

// One attempt at a finger, with the anti-fake verdict read under the same hold of the reader
// lock so that it belongs to this capture.
Capture acquireOnce(CaptureState& state, unsigned char* templ, unsigned int& length) {
  std::lock_guard lock(readerCallLock());
  if (ZKFPM_AcquireFingerprint(state.deviceHandle, state.imageBuffer.get(), state.imageBufferSize,
                               templ, &length) != 0)
    return Capture::None;
  if (state.fakeFunOn == 1) {
    std::int32_t status = 0;
    unsigned int size = sizeof status;
    // A failed read accepts the capture.
    if (ZKFPM_GetParameters(state.deviceHandle, ZKFP_PARAM_FAKE_STATUS,
                            reinterpret_cast<unsigned char*>(&status), &size) == 0 &&
        (status & LIVE_FINGER_BITS) != LIVE_FINGER_BITS)
      return Capture::Fake;
  }
  return Capture::Accepted;
}

void publishSingleTemplate(CaptureState& state, unsigned char* templ, std::uint64_t generation) {
  // Always the whole buffer: the text encodes the template followed by zero bytes up to 2048.
  std::lock_guard lock(captureStateLock());
  publishTemplateLocked(state, templ, generation);
}

} // namespace

bool startCaptureWorker(CaptureState& state) {
  return platform::startThread(captureWorkerLoop, state.workerThread);
}

int captureWorkerLoop() {
  CaptureState& state = captureState();
  unsigned char templ[TEMPLATE_BLOB_SIZE];
  while (state.stopRequested == 0) {
    bool templateWaiting = false;
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(captureStateLock());
      templateWaiting = templateReadyLocked(state);
      generation = state.generation;
    }
    if (templateWaiting) {
      platform::sleepMilliseconds(WORKER_IDLE_MS);
      continue;
    }

    std::memset(templ, 0, sizeof templ);
    unsigned int length = TEMPLATE_BLOB_SIZE;
    const Capture capture = acquireOnce(state, templ, length);
    if (capture == Capture::Fake)
      continue;
    // A length beyond the buffer cannot be a template the buffer holds: the capture is dropped.
    if (capture == Capture::Accepted && length <= TEMPLATE_BLOB_SIZE) {
      if (state.captureMode == Enroll)
        addEnrollSample(templ, length, generation);
      else
        publishSingleTemplate(state, templ, generation);
    }
    platform::sleepMilliseconds(WORKER_IDLE_MS);
  }
  return 0;
}

} // namespace capture
