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
  reply = captureState().reader.deviceHandle != nullptr ? INFO_OPEN_REPLY : INFO_CLOSED_REPLY;
}

void getImage(std::string& reply) {
  // The text of the last status shown on this thread: it changes with a press, not a poll.
  struct ShownText {
    std::uint32_t shown = ~std::uint32_t{0}; // no status: the first poll builds the text
    char text[64] = {};
    std::size_t size = 0;
  };
  thread_local ShownText last;
  const std::uint32_t shown =
      captureState().progress.shown.load(std::memory_order_acquire);
  if (shown != last.shown) {
    const bool ready = (shown & CaptureState::Progress::SHOWN_READY) != 0;
    auto enrollIndex = static_cast<std::int32_t>(shown & ~CaptureState::Progress::SHOWN_READY);
    // A Single capture leaves the progress at 0; it still counts as one press.
    if (ready && enrollIndex == 0)
      enrollIndex = 1;
    char* end = last.text;
    const auto put = [&end](std::string_view part) {
      end = std::copy(part.begin(), part.end(), end);
    };
    put("{\"ret\":");
    end = std::to_chars(end, std::end(last.text), ready ? RET_OK : RET_NOT_READY).ptr;
    put(", \"data\":{\"enroll_index\":");
    end = std::to_chars(end, std::end(last.text), enrollIndex).ptr;
    put("}}");
    last.size = static_cast<std::size_t>(end - last.text);
    last.shown = shown;
  }
  reply.clear(); // then a plain append: cheaper than assign, which must allow for overlap
  reply.append(last.text, last.size);
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
