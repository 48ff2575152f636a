// The simulated reader behind our libzkfp: one reader, one fingerprint cache, a queue of
// presses that tests and the reader-sim tool fill through the control commands, and a count of
// the SDK calls seen. The exported ZKFPM_* functions (zkfp_exports.cc) call into it.
//
// Thread safety: every member function may be called from any thread; one mutex guards all of
// the state, so the capture worker, the event-loop thread and the control channel can call it
// at once. Nothing blocks: a capture with nothing pressed fails at once.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

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

  // One control command line (see control_commands.h); returns the reply line.
  std::string command(std::string_view line);

 private:
  SimulatedReader() = default;

  struct Press {
    std::uint32_t finger = 0;
    bool live = true;
    std::uint32_t reportedLength = 0; // 0: the template's own length
  };

  void countCall(const char* function, int code = -1);
  bool deviceUsable(void* device) const;
  std::string listCalls() const;
  void resetToDefaults();

  mutable std::mutex mutex_;
  bool initialised_ = false;
  bool attached_ = true;
  bool deviceOpen_ = false;
  int cachesCreated_ = 0;
  bool failInit_ = false, failDbInit_ = false, failMerge_ = false, failParameters_ = false;
  std::deque<Press> presses_;
  std::string serial_ = DEFAULT_SERIAL_NUMBER;
  std::int32_t imageWidth_ = DEFAULT_IMAGE_WIDTH, imageHeight_ = DEFAULT_IMAGE_HEIGHT;
  std::int32_t antiFakeSwitch_ = 1;
  std::int32_t lastFakeStatus_ = 0;
  std::uint32_t pressesCaptured_ = 0;
  std::map<std::string, unsigned long> calls_;
};

} // namespace simulator
