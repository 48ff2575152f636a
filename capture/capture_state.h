// The capture subsystem's one record: the open reader, the mode chosen when it was opened, the
// progress of an enrolment and the finished template waiting to be fetched; and the status
// replies that only read or reset it (info, getImage, getTemplate).
//
// Threads: the event-loop thread (the replies, beginCapture) and the capture worker share the
// record. Its two parts follow its rules, and clang's -Wthread-safety checks them:
// - the reader: an OpenReader, fixed once the open sequence has made it (its fields are const),
//   reached only through Reader::open(), which REQUIRES the reader-call lock. Every SDK call on
//   the reader or its cache is made with that lock held, and only a holder of the lock replaces
//   the open reader, so what open() returns stays valid and the same until the lock is let go;
// - the progress: read and written under its own mutex.
// The enrolment samples are the worker's alone: a local of its loop (enrollment.h), not here.
//
// Lock order: the reader-call lock, then the progress mutex (the worker publishes what it
// captured while it holds the reader); never the other way round.
#pragma once

#include "platform/mutex.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace capture {

inline constexpr std::size_t TEMPLATE_BLOB_SIZE = 2048; // every template buffer given to the SDK
inline constexpr std::size_t TEMPLATE_TEXT_SIZE = 4096; // the published base64 text's buffer
inline constexpr std::int32_t ENROLL_SAMPLE_COUNT = 3;

enum CaptureMode : std::int32_t {
  Enroll = 1, // three matching presses merged into one template
  Single = 2, // every accepted press is a template
};

// The "ret" codes of the replies.
enum ReplyCode : int {
  RET_OK = 0,            // success; reader open; template ready
  RET_INIT_FAILED = -1,  // no reader open (info); SDK initialisation failed (beginCapture)
  RET_NO_DEVICE = -2,    // SDK initialised but no reader could be opened
  RET_SETUP_FAILED = -3, // reader opened but it could not be set up for capturing
  RET_NOT_READY = -4,    // no template ready yet
};

// A reader as one run of the open sequence set it up, constant from then on. A reader that is
// closed and opened again is a new OpenReader, never this one changed.
struct OpenReader {
  void* const deviceHandle = nullptr;
  void* const dbCacheHandle = nullptr; // for enrolment's matches and merges
  const std::int32_t imageWidth = 0;
  const std::int32_t imageHeight = 0;
  // imageWidth x imageHeight bytes, written by every capture and never read by the service.
  const std::unique_ptr<unsigned char[]> imageBuffer = nullptr;
  const std::uint32_t imageBufferSize = 0;
  const CaptureMode captureMode = Enroll;
  const std::int32_t fakeFunOn = 1; // its four bytes were the value of the anti-fake parameter
};

// The record in two parts, one per rule; each says which thread does what with it.
struct CaptureState {
  // The open reader and the lock of every call on it. beginCapture (event-loop thread) opens,
  // closes and replaces the reader holding the lock throughout; the worker holds it for each
  // capture and for the enrolment step that uses that capture.
  class Reader {
   public:
    // Held for every SDK call on the open reader's device or cache, and across the open and
    // close sequences. Never held while waiting for anything else than an SDK call.
    platform::Mutex callMutex;

    // The open reader, or null while none is. What it points to is valid, and unchanged, for
    // as long as the caller keeps holding callMutex; it is never kept past that.
    const OpenReader* open() const REQUIRES(callMutex) { return open_.get(); }
    // Puts `reader` (null: none) in place of the open reader, which must have been closed.
    void publish(std::unique_ptr<const OpenReader> reader) REQUIRES(callMutex) {
      open_ = std::move(reader);
    }

    // Whether the capture worker has been started: once, by the first open that succeeds; a
    // reader opened again later is captured from by the same worker.
    bool workerStarted GUARDED_BY(callMutex) = false;
    platform::ThreadHandle workerThread GUARDED_BY(callMutex); // kept, never joined
    std::atomic<std::int32_t> stopRequested{0}; // the worker runs while it is 0: for ever

   private:
    std::unique_ptr<const OpenReader> open_ GUARDED_BY(callMutex);
  };

  // The progress, written by both threads, under its own lock. The lock is held inside one SDK
  // call only, the base64 conversion of publishTemplate, which touches no reader.
  struct Progress {
    platform::Mutex mutex;
    std::int32_t enrollIndex GUARDED_BY(mutex) = 0;               // enrolment samples, 0 to 3
    char templateText[TEMPLATE_TEXT_SIZE] GUARDED_BY(mutex) = {}; // zero-terminated base64
    // Counts resets of the progress; a capture begun before a reset is not published after it.
    std::uint64_t generation GUARDED_BY(mutex) = 0;

    // A template waits for getTemplate: templateText is not empty.
    bool templateReady() const REQUIRES(mutex);
    // Discards enrolment progress and any waiting template, and starts a new generation.
    void reset() REQUIRES(mutex);
    // Publishes the template `blob` (TEMPLATE_BLOB_SIZE bytes, always all of them) as the
    // waiting template, unless the progress was reset since `capturedIn` (a generation) or a
    // template already waits. ZKFPM_BlobToBase64 writes its text straight into templateText
    // under the lock: the conversion is pure computation, not a reader call, and so the template
    // is in place the moment the SDK call returns (the simulated reader counts a press as done
    // with then). Returns whether a template was published.
    bool publishTemplate(unsigned char* blob, std::uint64_t capturedIn) EXCLUDES(mutex);
  };

  Reader reader;
  Progress progress;
};

// The one record of the process, and the one way to reach it: every function that reads or
// changes it starts here. Never destroyed, so the worker may use it until the end.
CaptureState& captureState();

// The status replies. Event-loop thread; each puts the reply's JSON text in `reply`, in place
// of what it held and in the memory it has: pages poll them.
inline constexpr std::string_view INFO_OPEN_REPLY = "{\"ret\":0}";    // a reader is open
inline constexpr std::string_view INFO_CLOSED_REPLY = "{\"ret\":-1}"; // none opened yet
void info(std::string& reply);                                        // one of the two above
void getImage(std::string& reply);    // progress: ret 0 or -4 and "enroll_index"
void getTemplate(std::string& reply); // the waiting template, handed over once, or {"ret":-4}

} // namespace capture
