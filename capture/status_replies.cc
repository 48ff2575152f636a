// info, getImage and getTemplate: replies built from the state at hand, on the event-loop
// thread.
#include "capture/capture_state.h"
#include "capture/json_text.h"

#include <cstring>

namespace capture {

std::string info() {
  // deviceHandle is written only on this thread.
  return captureState().reader.deviceHandle != nullptr ? "{\"ret\":0}" : "{\"ret\":-1}";
}

std::string getImage() {
  bool ready = false;
  std::int32_t enrollIndex = 0;
  {
    CaptureState::Progress& progress = captureState().progress;
    platform::MutexLock lock(progress.mutex);
    ready = progress.templateReady();
    enrollIndex = progress.enrollIndex;
  }
  // A Single capture leaves the progress at 0; it still counts as one press.
  if (ready && enrollIndex == 0)
    enrollIndex = 1;
  // Room for its longest form at once: pages poll this reply, so it is built with one
  // allocation rather than one per append.
  std::string reply;
  reply.reserve(64);
  reply += "{\"ret\":";
  appendDecimal(reply, ready ? RET_OK : RET_NOT_READY);
  reply += ", \"data\":{\"enroll_index\":";
  appendDecimal(reply, enrollIndex);
  reply += "}}";
  return reply;
}

std::string getTemplate() {
  CaptureState::Progress& progress = captureState().progress;
  platform::MutexLock lock(progress.mutex);
  if (!progress.templateReady())
    return "{\"ret\":-4}";
  std::string reply = "{\"ret\":0, \"data\":{\"template\":\"";
  // The SDK's text is opaque: it is escaped like any text, and read no further than its buffer.
  appendJsonStringContent(reply,
                          {progress.templateText, strnlen(progress.templateText, TEMPLATE_TEXT_SIZE)});
  reply += "\"}}";
  progress.reset();
  return reply;
}

} // namespace capture
