#include "capture/capture_state.h"

#include "reader/zkfp.h"

#include <cstring>

namespace capture {

CaptureState& captureState() {
  static CaptureState* state = new CaptureState;
  return *state;
}

std::mutex& captureStateLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::mutex& readerCallLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

bool templateReadyLocked(const CaptureState& state) { return state.templateText[0] != '\0'; }

void resetProgressLocked(CaptureState& state) {
  state.enrollIndex = 0;
  std::memset(state.templateText, 0, sizeof state.templateText);
  ++state.generation;
}

bool publishTemplateLocked(CaptureState& state, unsigned char* blob, std::uint64_t generation) {
  if (generation != state.generation || templateReadyLocked(state))
    return false;
  ZKFPM_BlobToBase64(blob, TEMPLATE_BLOB_SIZE, state.templateText, TEMPLATE_TEXT_SIZE);
  if (templateReadyLocked(state))
    return true;
  // Nothing came out: whatever the call may have left behind goes, so the text is all clear.
  std::memset(state.templateText, 0, sizeof state.templateText);
  return false;
}

} // namespace capture
