// The capture subsystem's one record: the open reader, the mode chosen when it was opened, the
// progress of an enrolment and the finished template waiting to be fetched; and the status
// replies that only read or reset it (info, getImage, getTemplate).
//
// Threads: the event-loop thread (the replies, beginCapture) and the capture worker share the
// record. Its parts follow its three rules: the reader is written before the worker starts and
// only read after; the progress is read and written under its mutex (checked by clang's
// -Wthread-safety); the enrolment samples belong to the worker. Calls on the reader handle are
// serialised by the reader's own call lock.
#pragma once

#include "platform/mutex.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace capture {

inline constexpr std::size_t TEMPLATE_BLOB_SIZE = 2048;  // every template buffer given to the SDK
inline constexpr std::size_t TEMPLATE_TEXT_SIZE = 4096;  // the published base64 text's buffer
inline constexpr std::int32_t ENROLL_SAMPLE_COUNT = 3;

enum CaptureMode : std::int32_t {
  Enroll = 1, // three matching presses merged into one template
  Single = 2, // every accepted press is a template
};

// The "ret" codes of the replies.
enum ReplyCode : int {
  RET_OK = 0,             // success; reader open; template ready
  RET_INIT_FAILED = -1,   // no reader open (info); SDK initialisation failed (beginCapture)
  RET_NO_DEVICE = -2,     // SDK initialised but no reader could be opened
  RET_SETUP_FAILED = -3,  // reader opened but it could not be set up for capturing
  RET_NOT_READY = -4,     // no template ready yet
};

// The record in three parts, one per rule of ownership; each part says which thread writes it.
struct CaptureState {
  // The reader, set up by the open sequence (event-loop thread) before the worker starts and
  // only read after that, by both threads. deviceHandle is set last: non-null means open, for
  // the rest of the process.
  struct Reader {
    void* deviceHandle = nullptr;
    void* dbCacheHandle = nullptr; // used by the worker alone once the reader is open
    std::int32_t imageWidth = 0;
    std::int32_t imageHeight = 0;
    std::unique_ptr<unsigned char[]> imageBuffer; // imageWidth x imageHeight bytes, never read
    std::uint32_t imageBufferSize = 0;
    CaptureMode captureMode = Enroll;
    std::int32_t fakeFunOn = 1; // its four bytes are the value of the anti-fake parameter
    platform::ThreadHandle workerThread;
    std::atomic<std::int32_t> stopRequested{0}; // the worker runs while it is 0: for ever

    // Serialises the calls on deviceHandle once the worker runs: its captures with their
    // anti-fake reads, and beginCapture's serial reads. Held for the SDK call only; never
    // together with the progress lock.
    platform::Mutex callMutex;
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

  // The enrolment samples collected so far: the capture worker's alone, no lock.
  struct Samples {
    std::uint32_t enrollSampleLengths[ENROLL_SAMPLE_COUNT] = {};
    unsigned char enrollSamples[ENROLL_SAMPLE_COUNT][TEMPLATE_BLOB_SIZE] = {};
  };

  Reader reader;
  Progress progress;
  Samples samples;
};

// The one record of the process, and the one way to reach it: every function that reads or
// changes it starts here. Never destroyed, so the worker may use it until the end.
CaptureState& captureState();

// The status replies. Event-loop thread; each puts the reply's JSON text in `reply`, in place
// of what it held and in the memory it has: pages poll them.
void info(std::string& reply);        // {"ret":0} while a reader is open, else {"ret":-1}
void getImage(std::string& reply);    // progress: ret 0 or -4 and "enroll_index"
void getTemplate(std::string& reply); // the waiting template, handed over once, or {"ret":-4}

} // namespace capture
