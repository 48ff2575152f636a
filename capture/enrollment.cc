#include "capture/enrollment.h"

#include "reader/zkfp.h"

#include <cstring>

namespace capture {
namespace {

// Sets the progress, unless it was reset since `generation`. Returns whether it was set.
bool setEnrollIndex(std::int32_t enrollIndex, std::uint64_t generation) {
  CaptureState::Progress& progress = captureState().progress;
  platform::MutexLock lock(progress.mutex);
  if (progress.generation != generation)
    return false;
  progress.enrollIndex = enrollIndex;
  return true;
}

void mergeAndPublish(CaptureState::Reader& reader, EnrollSamples& samples, std::uint64_t generation)
    REQUIRES(reader.callMutex) {
  unsigned char merged[TEMPLATE_BLOB_SIZE] = {};
  unsigned int mergedLength = TEMPLATE_BLOB_SIZE;
  if (ZKFPM_DBMerge(reader.open()->dbCacheHandle, samples.enrollSamples[0],
                    samples.enrollSamples[1], samples.enrollSamples[2], merged, &mergedLength) != 0)
    return; // the progress stays at 3 with nothing ready: the next press starts over
  // Always the whole buffer, as for a Single template.
  captureState().progress.publishTemplate(merged, generation);
}

} // namespace

void addEnrollSample(CaptureState::Reader& reader, EnrollSamples& samples,
                     const unsigned char* sample, std::uint32_t length, std::uint64_t generation) {
  CaptureState::Progress& progress = captureState().progress;
  if (length > TEMPLATE_BLOB_SIZE)
    return;
  std::int32_t collected = 0;
  {
    platform::MutexLock lock(progress.mutex);
    if (progress.generation != generation)
      return;
    collected = progress.enrollIndex;
  }
  if (collected >= ENROLL_SAMPLE_COUNT) { // after a failed merge
    setEnrollIndex(0, generation);
    return;
  }
  if (collected > 0) {
    const int score =
        ZKFPM_DBMatch(reader.open()->dbCacheHandle, samples.enrollSamples[collected - 1],
                      samples.enrollSampleLengths[collected - 1],
                      const_cast<unsigned char*>(sample), length);
    if (score <= 0) {
      setEnrollIndex(0, generation);
      return;
    }
  }
  samples.enrollSampleLengths[collected] = length;
  std::memcpy(samples.enrollSamples[collected], sample, length);
  std::memset(samples.enrollSamples[collected] + length, 0, TEMPLATE_BLOB_SIZE - length);
  if (!setEnrollIndex(collected + 1, generation))
    return;
  if (collected + 1 == ENROLL_SAMPLE_COUNT)
    mergeAndPublish(reader, samples, generation);
}

} // namespace capture
