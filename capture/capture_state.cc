#include "capture/capture_state.h"

#include "reader/zkfp.h"

#include <cstring>

namespace capture {

CaptureState& captureState() {
  static CaptureState* state = new CaptureState;
  return *state;
}

bool CaptureState::Progress::templateReady() const { return templateText[0] != '\0'; }

void CaptureState::Progress::reset() {
  enrollIndex = 0;
  std::memset(templateText, 0, sizeof templateText);
  ++generation;
}

bool CaptureState::Progress::publishTemplate(unsigned char* blob, std::uint64_t capturedIn) {
  platform::MutexLock lock(mutex);
  if (capturedIn != generation || templateReady())
    return false;
  ZKFPM_BlobToBase64(blob, TEMPLATE_BLOB_SIZE, templateText, TEMPLATE_TEXT_SIZE);
  if (templateReady())
    return true;
  // Nothing came out: whatever the call may have left behind goes, so the text is all clear.
  std::memset(templateText, 0, sizeof templateText);
  return false;
}

} // namespace capture
