// The capture subsystem's one record: the open reader, the mode chosen when it was opened, the
// progress of an enrolment and the finished template waiting to be fetched; and the status
// replies that only read or reset it (info, getImage, getTemplate).
//
// Threads: the event-loop thread (the replies, beginCapture) and the capture worker share the
// record. The fields under "guarded" are read and written only with captureStateLock() held;
// the reader fields are written by the open sequence before the worker starts and only read
// after that; the enrolment samples belong to the worker. The lock is held inside one SDK call
// only, the base64 conversion that publishes a template (publishTemplateLocked), which touches
// no reader. Calls on the reader handle are serialised by readerCallLock(), a separate lock.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
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

struct CaptureState {
  // The reader, set once by a successful open (event-loop thread) and kept for the process.
  void* deviceHandle = nullptr;
  void* dbCacheHandle = nullptr;
  std::int32_t imageWidth = 0;
  std::int32_t imageHeight = 0;
  std::unique_ptr<unsigned char[]> imageBuffer; // imageWidth x imageHeight bytes, never read
  std::uint32_t imageBufferSize = 0;
  platform::ThreadHandle workerThread;
  std::atomic<std::int32_t> stopRequested{0};
  CaptureMode captureMode = Enroll;
  std::int32_t fakeFunOn = 1; // its four bytes are the value of the anti-fake parameter

  // Guarded by captureStateLock().
  std::int32_t enrollIndex = 0;                // enrolment samples collected, 0 to 3
  char templateText[TEMPLATE_TEXT_SIZE] = {};  // zero-terminated base64; ready when [0] != 0
  // Counts resets of the progress; a capture begun before a reset is not published after it.
  std::uint64_t generation = 0;

  // The capture worker's alone.
  std::uint32_t enrollSampleLengths[ENROLL_SAMPLE_COUNT] = {};
  unsigned char enrollSamples[ENROLL_SAMPLE_COUNT][TEMPLATE_BLOB_SIZE] = {};
};

// The one record of the process; never destroyed, so the worker may use it until the end.
CaptureState& captureState();
std::mutex& captureStateLock();
std::mutex& readerCallLock();

// REQUIRES: captureStateLock() held.
bool templateReadyLocked(const CaptureState& state);
// Discards enrolment progress and any waiting template, and starts a new generation.
// REQUIRES: captureStateLock() held.
void resetProgressLocked(CaptureState& state);
// Publishes the template `blob` (TEMPLATE_BLOB_SIZE bytes, always all of them) as the waiting
// template, unless the progress was reset since `generation` was read or a template already
// waits. ZKFPM_BlobToBase64 writes its text straight into `templateText` under the lock: the
// conversion is pure computation, not a reader call, and so the template is in place the moment
// the SDK call returns (the simulated reader counts a press as done with then). Returns whether
// a template was published. REQUIRES: captureStateLock() held.
bool publishTemplateLocked(CaptureState& state, unsigned char* blob, std::uint64_t generation);

// The status replies. Event-loop thread; each returns the reply's JSON text.
std::string info();        // {"ret":0} while a reader is open, else {"ret":-1}
std::string getImage();    // progress: ret 0 or -4 and "enroll_index"
std::string getTemplate(); // the waiting template, handed over once, or {"ret":-4}

} // namespace capture
