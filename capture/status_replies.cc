// info, getImage and getTemplate: replies built from the state at hand, on the event-loop
// thread.
#include "capture/capture_state.h"
#include "capture/json_text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

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
  // Put together on the stack and stored with one copy: the reply a page polls for.
  constexpr std::string_view START = "{\"ret\":";
  constexpr std::string_view MIDDLE = ", \"data\":{\"enroll_index\":";
  constexpr std::string_view END = "}}";
  constexpr std::size_t INT32_DIGITS = 11; // with its sign
  char text[START.size() + MIDDLE.size() + END.size() + 2 * INT32_DIGITS];
  char* end = std::copy(START.begin(), START.end(), text);
  end =
      std::to_chars(end, end + INT32_DIGITS, static_cast<int>(ready ? RET_OK : RET_NOT_READY)).ptr;
  end = std::copy(MIDDLE.begin(), MIDDLE.end(), end);
  end = std::to_chars(end, end + INT32_DIGITS, enrollIndex).ptr;
  end = std::copy(END.begin(), END.end(), end);
  reply.assign(text, end);
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
  appendJsonStringContent(reply, {progress.templateText,
                                  strnlen(progress.templateText, TEMPLATE_TEXT_SIZE)});
  reply += "\"}}";
  progress.reset();
}

} // namespace capture
