#include "capture/capture_state.h"

#include "reader/zkfp.h"

#include <cstring>

namespace capture {

CaptureState& captureState() {
  static CaptureState* state = new CaptureState;
  return *state;
}

bool CaptureState::Progress::templateReady() const { return templateText[0] != '\0'; }

void CaptureState::Progress::showChanges() {
  // Release: a reader that sees a template ready, then takes the lock, finds it there.
  shown.store(static_cast<std::uint32_t>(enrollIndex) | (templateReady() ? SHOWN_READY : 0),
              std::memory_order_release);
}

void CaptureState::Progress::reset() {
  enrollIndex = 0;
  std::memset(templateText, 0, sizeof templateText);
  ++generation;
  showChanges();
}

bool CaptureState::Progress::publishTemplate(unsigned char* blob, std::uint64_t capturedIn) {
  platform::MutexLock lock(mutex);
  if (capturedIn != generation || templateReady())
    return false;
  ZKFPM_BlobToBase64(blob, TEMPLATE_BLOB_SIZE, templateText, TEMPLATE_TEXT_SIZE);
  if (templateReady()) {
    showChanges();
    return true;
  }
  // Nothing came out: whatever the call may have left behind goes, so the text is all clear.
  std::memset(templateText, 0, sizeof templateText);
  return false;
}

} // namespace capture
