// info, getImage and getTemplate: replies built from the state at hand, on the event-loop
// thread.
#include "capture/capture_state.h"
#include "capture/json_text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>

namespace capture {

void info(std::string& reply) {
  // deviceHandle is written only on this thread.
  reply = captureState().reader.deviceHandle != nullptr ? "{\"ret\":0}" : "{\"ret\":-1}";
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
  // Built on the stack and copied once: pages poll this reply.
  char text[64];
  char* end = text;
  const auto put = [&end](std::string_view part) {
    end = std::copy(part.begin(), part.end(), end);
  };
  put("{\"ret\":");
  end = std::to_chars(end, std::end(text), ready ? RET_OK : RET_NOT_READY).ptr;
  put(", \"data\":{\"enroll_index\":");
  end = std::to_chars(end, std::end(text), enrollIndex).ptr;
  put("}}");
  reply.clear(); // then a plain append: cheaper than assign, which must allow for overlap
  reply.append(text, end);
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
