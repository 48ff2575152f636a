// The simulated reader behind our libzkfp: one reader, one fingerprint cache, a queue of
// presses that tests and the reader-sim tool fill through the control commands, and a count of
// the SDK calls seen. The exported ZKFPM_* functions (zkfp_exports.cc) call into it.
//
// Until something controls it (a control channel named, or a command run in-process) it is a
// library with no reader attached: opening gives null, as the vendor's SDK does on a computer
// without a reader.
//
// Thread safety: every member function may be called from any thread; one mutex guards all of
// the state, so the capture worker, the event-loop thread and the control channel can call it
// at once. No SDK call blocks: a capture with nothing pressed fails at once. Only command()
// with a wait= option blocks its caller, and only in-process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simulator {

// Results the simulated SDK gives besides 0. The service only tells 0 from the rest.
enum SimulatedResult : int {
  RESULT_OK = 0,
  RESULT_FAILED = -1,
  RESULT_NOT_INITIALISED = -2,
  RESULT_BUFFER_TOO_SMALL = -3,
  RESULT_INVALID_HANDLE = -7,
  RESULT_NO_FINGER = -8,
  RESULT_NO_DEVICE = -9,
  RESULT_NOT_SUPPORTED = -10,
  RESULT_MERGE_FAILED = -22,
};

inline constexpr const char* DEFAULT_SERIAL_NUMBER = "SIM-0000-0001";
inline constexpr std::int32_t DEFAULT_IMAGE_WIDTH = 300;
inline constexpr std::int32_t DEFAULT_IMAGE_HEIGHT = 400;
// Anti-fake status of a live finger (all five low bits set) and of a fake one.
inline constexpr std::int32_t LIVE_FINGER_STATUS = 0x1F;
inline constexpr std::int32_t FAKE_FINGER_STATUS = 0x0A;
// Presses queued and not yet captured, at most.
inline constexpr std::size_t MAX_PENDING_PRESSES = 64;
// The longest a press may be waited for (wait=MS).
inline constexpr std::uint32_t MAX_PRESS_WAIT_MS = 60000;

// What became of a press that someone waits for.
enum class PressOutcome {
  Captured, // a capture took the live press and the service has finished with it
  Fake,     // the same for a press of a fake finger
  Dropped,  // removed by reset before any capture took it
  TimedOut, // not taken in time; withdrawn from the queue
};
// The reply line of each outcome: "ok captured", "ok fake", "ok dropped", "error timeout".
const char* pressOutcomeReply(PressOutcome outcome);

// Told once what became of a waited press. Called with the reader's lock held, on whichever
// thread settled the press: it must return at once and not call back into the reader.
using PressCallback = std::function<void(PressOutcome)>;

// A command whose reply comes later: the press `id`, waited for at most `limit`.
struct PressWait {
  std::uint64_t id = 0;
  std::chrono::milliseconds limit{0};
};
struct CommandStart {
  std::string reply;             // the reply line, when there is one now
  std::optional<PressWait> wait; // otherwise: the press whose outcome is the reply
};

class SimulatedReader {
 public:
  static SimulatedReader& instance();

  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  // The SDK calls, with the SDK's arguments and results.
  int init();
  int terminate();
  void* openDevice(int index);
  int closeDevice(void* device);
  void* dbInit();
  int setParameter(void* device, int code, const unsigned char* value, unsigned int size);
  int getParameter(void* device, int code, unsigned char* value, unsigned int* size);
  int acquireFingerprint(void* device, unsigned char* image, unsigned int imageSize,
                         unsigned char* templ, unsigned int* templateLength);
  int match(void* cache, const unsigned char* first, unsigned int firstLength,
            const unsigned char* second, unsigned int secondLength);
  int merge(void* cache, const unsigned char* first, const unsigned char* second,
            const unsigned char* third, unsigned char* merged, unsigned int* mergedLength);
  int blobToBase64(const unsigned char* blob, unsigned int length, char* text,
                   unsigned int textSize);

  // One control command line (see control_commands.cc); returns the reply line. A press with
  // wait= blocks the caller until its outcome is known.
  std::string command(std::string_view line);

  // The same without blocking: a press with wait= is queued with `settled`, which is told its
  // outcome (unless expirePress() comes first), and the reply is left to the caller.
  CommandStart startCommand(std::string_view line, PressCallback settled);
  // The wait for press `id` has run out. A press still queued is withdrawn (TimedOut); a press
  // already taken gives its outcome now; nothing when the callback has already been called.
  // Either way the callback is not called after this returns.
  std::optional<PressOutcome> expirePress(std::uint64_t id);

  // Marks the reader as controlled: attached, with the defaults of reset. Called once the
  // control channel is named.
  void attachForControl();

 private:
  SimulatedReader() = default;

  struct Press {
    std::uint32_t finger = 0;
    bool live = true;
    std::uint32_t reportedLength = 0; // 0: the template's own length
    std::uint64_t id = 0;
    PressCallback settled; // set when someone waits for this press
  };

  // The control commands (control_commands.cc). A command line split into words; words[0]
  // names the command.
  struct CommandLine {
    std::string_view text; // without its line end
    std::vector<std::string_view> words;
    PressCallback settled; // taken by a press with wait=
  };
  // One command: its name and arguments as `help` and reader-sim's usage show them, what it
  // does in a line for the usage, what an argument may be (shown in parentheses after it) and
  // the member that carries it out, with mutex_ held.
  struct ControlCommand {
    std::string_view name;
    std::string_view arguments;
    std::string_view summary;
    std::string_view legend;
    CommandStart (SimulatedReader::*handler)(CommandLine& command);

    std::string synopsis() const;   // the name and arguments
    std::string legendText() const; // " (legend)", or nothing without one
  };
  // Every command, in the order `help` lists them.
  static const ControlCommand CONTROL_COMMANDS[];
  friend std::string controlCommandUsage();

  CommandStart pressCommand(CommandLine& command);
  CommandStart plugCommand(CommandLine& command);
  CommandStart attachedCommand(CommandLine& command);
  CommandStart failCommand(CommandLine& command);
  CommandStart serialCommand(CommandLine& command);
  CommandStart imageCommand(CommandLine& command);
  CommandStart slowCommand(CommandLine& command);
  CommandStart pendingCommand(CommandLine& command);
  CommandStart callsCommand(CommandLine& command);
  CommandStart resetCommand(CommandLine& command);
  CommandStart helpCommand(CommandLine& command);

  // The rest take mutex_ held, except takeTime.
  void countCall(const char* function, int code = -1);
  // The delay of `slow MS`, taken before the reader's lock so that nothing else waits on it.
  void takeTime() const;
  // `device` is the open handle and it still reaches the reader.
  bool deviceUsable(void* device) const;
  // Attaches the reader with the defaults the first time something controls it.
  void takeControl();
  void resetToDefaults();
  // The press a capture took is finished with: the service has used it up (see the .cc).
  void settleTakenPress();

  mutable std::mutex mutex_;
  bool controlled_ = false; // a control channel or an in-process command drives the reader
  bool initialised_ = false;
  bool attached_ = false;
  // The handle of the open reader, null while none is open. Every open gives a handle never
  // given before, so a handle from an earlier open (closed, or lost) is never taken for it.
  void* openDevice_ = nullptr;
  // The open reader was unplugged: its handle stays dead, plugged back in or not, as a USB
  // reader's does; only closing it and opening again gives a working one.
  bool openDeviceLost_ = false;
  std::deque<char> deviceTokens_; // one per open; their addresses are the handles
  bool failInit_ = false, failDbInit_ = false, failMerge_ = false, failParameters_ = false;
  std::deque<Press> presses_;
  std::optional<Press> takenPress_; // taken by the last capture, not yet finished with
  std::uint64_t lastPressId_ = 0;
  std::string serial_ = DEFAULT_SERIAL_NUMBER;
  std::int32_t imageWidth_ = DEFAULT_IMAGE_WIDTH, imageHeight_ = DEFAULT_IMAGE_HEIGHT;
  std::int32_t lastFakeStatus_ = 0;
  std::uint32_t pressesCaptured_ = 0;
  std::atomic<std::uint32_t> slowMs_{0};
  std::map<std::string, unsigned long> calls_;
};

} // namespace simulator
