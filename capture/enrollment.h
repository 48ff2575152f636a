// Enrolment: three presses of one finger, each matched with the press before it, merged by the
// SDK into one template that is published for getTemplate. Capture worker thread only.
#pragma once

#include "capture/capture_state.h"

#include <cstdint>

namespace capture {

// The enrolment samples collected so far. The capture worker's alone: a local of its loop,
// lent to addEnrollSample, so that no other thread can reach them.
struct EnrollSamples {
  std::uint32_t enrollSampleLengths[ENROLL_SAMPLE_COUNT] = {};
  unsigned char enrollSamples[ENROLL_SAMPLE_COUNT][TEMPLATE_BLOB_SIZE] = {};
};

// Takes one accepted capture of `length` bytes (at most TEMPLATE_BLOB_SIZE) from the open
// reader, captured while the progress was in `generation`, into `samples`. A press that does not
// match the one before, or that follows a failed merge, sets the progress back to 0 and is
// dropped. Nothing happens when the progress was reset since the capture began. Matches and
// merges use the open reader's cache: a reader must be open, and its lock held.
void addEnrollSample(CaptureState::Reader& reader, EnrollSamples& samples,
                     const unsigned char* sample, std::uint32_t length, std::uint64_t generation)
    REQUIRES(reader.callMutex);

} // namespace capture
