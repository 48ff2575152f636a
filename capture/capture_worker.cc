#include "capture/capture_worker.h"

#include "capture/enrollment.h"
#include "reader/zkfp.h"

namespace capture {
namespace {

constexpr std::int32_t LIVE_FINGER_BITS = 0x1F;

enum class Attempt { Pause, Fake, Used };

// One attempt at a finger and the use of what it captured, under one hold of the reader-call
// lock: the anti-fake verdict belongs to this capture, and enrolment matches and merges with the
// cache of the reader the capture came from. The progress is looked at under the same hold, so
// a capture counts in the generation it was taken in: a beginCapture that resets the progress
// and then opens another reader cannot leave the first capture from that reader looking older.
Attempt captureAndUse(CaptureState& state, EnrollSamples& samples)
    EXCLUDES(state.reader.callMutex) {
  platform::MutexLock lock(state.reader.callMutex);
  const OpenReader* reader = state.reader.open();
  if (reader == nullptr) // closed: it went away, and no beginCapture has opened another yet
    return Attempt::Pause;
  std::uint64_t generation = 0;
  {
    platform::MutexLock progressLock(state.progress.mutex);
    // A template waits to be fetched: nothing is captured until getTemplate or beginCapture
    // clears it.
    if (state.progress.templateReady())
      return Attempt::Pause;
    generation = state.progress.generation;
  }

  unsigned char templ[TEMPLATE_BLOB_SIZE] = {};
  unsigned int length = TEMPLATE_BLOB_SIZE;
  if (ZKFPM_AcquireFingerprint(reader->deviceHandle, reader->imageBuffer.get(),
                               reader->imageBufferSize, templ, &length) != 0)
    return Attempt::Pause; // no finger this time
  if (reader->fakeFunOn == 1) {
    std::int32_t status = 0;
    unsigned int size = sizeof status;
    // A failed read accepts the capture.
    if (ZKFPM_GetParameters(reader->deviceHandle, ZKFP_PARAM_FAKE_STATUS,
                            reinterpret_cast<unsigned char*>(&status), &size) == 0 &&
        (status & LIVE_FINGER_BITS) != LIVE_FINGER_BITS)
      return Attempt::Fake;
  }
  // A length beyond the buffer cannot be a template the buffer holds: the capture is dropped.
  if (length > TEMPLATE_BLOB_SIZE)
    return Attempt::Used;
  if (reader->captureMode == Enroll)
    addEnrollSample(state.reader, samples, templ, length, generation);
  else // always the whole buffer: the text encodes the template and zero bytes up to 2048
    state.progress.publishTemplate(templ, generation);
  return Attempt::Used;
}

} // namespace

bool startCaptureWorker(CaptureState::Reader& reader) {
  if (!reader.workerStarted)
    reader.workerStarted = platform::startThread(captureWorkerLoop, reader.workerThread);
  return reader.workerStarted;
}

int captureWorkerLoop() {
  CaptureState& state = captureState();
  EnrollSamples samples; // this thread's alone
  while (state.reader.stopRequested == 0) {
    // A fake is dropped and the next attempt made at once; every other attempt is followed by
    // a pause.
    if (captureAndUse(state, samples) != Attempt::Fake)
      platform::sleepMilliseconds(WORKER_IDLE_MS);
  }
  return 0;
}

} // namespace capture
