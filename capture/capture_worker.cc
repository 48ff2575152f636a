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
Capture acquireOnce(unsigned char* templ, unsigned int& length) {
  CaptureState::Reader& reader = captureState().reader;
  platform::MutexLock lock(reader.callMutex);
  if (ZKFPM_AcquireFingerprint(reader.deviceHandle, reader.imageBuffer.get(),
                               reader.imageBufferSize, templ, &length) != 0)
    return Capture::None;
  if (reader.fakeFunOn == 1) {
    std::int32_t status = 0;
    unsigned int size = sizeof status;
    // A failed read accepts the capture.
    if (ZKFPM_GetParameters(reader.deviceHandle, ZKFP_PARAM_FAKE_STATUS,
                            reinterpret_cast<unsigned char*>(&status), &size) == 0 &&
        (status & LIVE_FINGER_BITS) != LIVE_FINGER_BITS)
      return Capture::Fake;
  }
  return Capture::Accepted;
}

} // namespace

bool startCaptureWorker() {
  return platform::startThread(captureWorkerLoop, captureState().reader.workerThread);
}

int captureWorkerLoop() {
  CaptureState& state = captureState();
  unsigned char templ[TEMPLATE_BLOB_SIZE];
  while (state.reader.stopRequested == 0) {
    bool templateWaiting = false;
    std::uint64_t generation = 0;
    {
      platform::MutexLock lock(state.progress.mutex);
      templateWaiting = state.progress.templateReady();
      generation = state.progress.generation;
    }
    if (templateWaiting) {
      platform::sleepMilliseconds(WORKER_IDLE_MS);
      continue;
    }

    std::memset(templ, 0, sizeof templ);
    unsigned int length = TEMPLATE_BLOB_SIZE;
    const Capture capture = acquireOnce(templ, length);
    if (capture == Capture::Fake)
      continue;
    // A length beyond the buffer cannot be a template the buffer holds: the capture is dropped.
    if (capture == Capture::Accepted && length <= TEMPLATE_BLOB_SIZE) {
      if (state.reader.captureMode == Enroll)
        addEnrollSample(templ, length, generation);
      else // always the whole buffer: the text encodes the template and zero bytes up to 2048
        state.progress.publishTemplate(templ, generation);
    }
    platform::sleepMilliseconds(WORKER_IDLE_MS);
  }
  return 0;
}

} // namespace capture
