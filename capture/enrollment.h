// Enrolment: three presses of one finger, each matched with the press before it, merged by the
// SDK into one template that is published for getTemplate. Capture worker thread only.
#pragma once

#include <cstdint>

namespace capture {

// Takes one accepted capture of `length` bytes (at most TEMPLATE_BLOB_SIZE), captured while
// the progress was in `generation`. A press that does not match the one before, or that follows
// a failed merge, sets the progress back to 0 and is dropped. Nothing happens when the progress
// was reset since the capture began.
void addEnrollSample(const unsigned char* sample, std::uint32_t length, std::uint64_t generation);

} // namespace capture
