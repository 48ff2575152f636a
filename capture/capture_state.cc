#include "capture/capture_state.h"

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

bool publishTemplateLocked(CaptureState& state, const char* text, std::uint64_t generation) {
  if (generation != state.generation || templateReadyLocked(state) || text[0] == '\0')
    return false;
  std::memcpy(state.templateText, text, sizeof state.templateText);
  return true;
}

} // namespace capture
