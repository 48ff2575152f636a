// info, getImage and getTemplate: replies built from the state at hand, on the event-loop
// thread.
#include "capture/capture_state.h"
#include "capture/json_text.h"

#include <cstring>

namespace capture {

void info(std::string& reply) {
  // Under the reader-call lock, which the worker holds for one capture and its use at most,
  // never while it pauses.
  CaptureState::Reader& reader = captureState().reader;
  bool open = false;
  {
    platform::MutexLock lock(reader.callMutex);
    open = reader.open() != nullptr;
  }
  reply = open ? INFO_OPEN_REPLY : INFO_CLOSED_REPLY;
}

void getImage(std::string& reply) {
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
  reply.assign("{\"ret\":");
  appendDecimal(reply, ready ? RET_OK : RET_NOT_READY);
  reply += ", \"data\":{\"enroll_index\":";
  appendDecimal(reply, enrollIndex);
  reply += "}}";
}

void getTemplate(std::string& reply) {
  CaptureState::Progress& progress = captureState().progress;
  platform::MutexLock lock(progress.mutex);
  if (!progress.templateReady()) {
    reply = "{\"ret\":-4}";
    return;
  }
  reply = "{\"ret\":0, \"data\":{\"template\":\"";
  // The SDK's text is opaque: it is escaped like any text, and read no further than its buffer.
  appendJsonStringContent(reply,
                          {progress.templateText, strnlen(progress.templateText, TEMPLATE_TEXT_SIZE)});
  reply += "\"}}";
  progress.reset();
}

} // namespace capture
