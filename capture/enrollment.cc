#include "capture/enrollment.h"

#include "capture/capture_state.h"
#include "reader/zkfp.h"

#include <cstring>

namespace capture {
namespace {

// Sets the progress, unless it was reset since `generation`. Returns whether it was set.
bool setEnrollIndex(CaptureState& state, std::int32_t enrollIndex, std::uint64_t generation) {
  std::lock_guard lock(captureStateLock());
  if (state.generation != generation)
    return false;
  state.enrollIndex = enrollIndex;
  return true;
}

void mergeAndPublish(CaptureState& state, std::uint64_t generation) {
  unsigned char merged[TEMPLATE_BLOB_SIZE] = {};
  unsigned int mergedLength = TEMPLATE_BLOB_SIZE;
  if (ZKFPM_DBMerge(state.dbCacheHandle, state.enrollSamples[0], state.enrollSamples[1],
                    state.enrollSamples[2], merged, &mergedLength) != 0)
    return; // the progress stays at 3 with nothing ready: the next press starts over
  // Always the whole buffer, as for a Single template.
  std::lock_guard lock(captureStateLock());
  publishTemplateLocked(state, merged, generation);
}

} // namespace

void addEnrollSample(const unsigned char* sample, std::uint32_t length, std::uint64_t generation) {
  CaptureState& state = captureState();
  if (length > TEMPLATE_BLOB_SIZE)
    return;
  std::int32_t collected = 0;
  {
    std::lock_guard lock(captureStateLock());
    if (state.generation != generation)
      return;
    collected = state.enrollIndex;
  }
  if (collected >= ENROLL_SAMPLE_COUNT) { // after a failed merge
    setEnrollIndex(state, 0, generation);
    return;
  }
  if (collected > 0) {
    const int score = ZKFPM_DBMatch(state.dbCacheHandle, state.enrollSamples[collected - 1],
                                    state.enrollSampleLengths[collected - 1],
                                    const_cast<unsigned char*>(sample), length);
    if (score <= 0) {
      setEnrollIndex(state, 0, generation);
      return;
    }
  }
  state.enrollSampleLengths[collected] = length;
  std::memcpy(state.enrollSamples[collected], sample, length);
  std::memset(state.enrollSamples[collected] + length, 0, TEMPLATE_BLOB_SIZE - length);
  if (!setEnrollIndex(state, collected + 1, generation))
    return;
  if (collected + 1 == ENROLL_SAMPLE_COUNT)
    mergeAndPublish(state, generation);
}

} // namespace capture
