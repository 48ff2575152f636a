#include "capture/begin_capture.h"

#include "capture/capture_state.h"
#include "capture/capture_worker.h"
#include "capture/json_text.h"
#include "reader/zkfp.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace capture {
namespace {

constexpr std::size_t SERIAL_BUFFER_SIZE = 64;
// No reader's image comes near this; a larger reported size is taken for a fault.
constexpr std::uint64_t MAX_IMAGE_BYTES = 64u << 20;

std::int32_t readInt32Parameter(void* device, int code) {
  std::int32_t value = 0;
  unsigned int size = sizeof value;
  // The result is not looked at: a failed read leaves 0.
  ZKFPM_GetParameters(device, code, reinterpret_cast<unsigned char*>(&value), &size);
  return value;
}

// The image buffer every capture is given, of `size` bytes (none for 0). False when the
// reported size is negative, beyond any reader's, or cannot be allocated.
bool allocateImageBuffer(std::int32_t width, std::int32_t height,
                         std::unique_ptr<unsigned char[]>& buffer, std::uint32_t& size) {
  if (width < 0 || height < 0)
    return false;
  const std::uint64_t bytes = std::uint64_t(width) * std::uint64_t(height);
  if (bytes > MAX_IMAGE_BYTES)
    return false;
  size = static_cast<std::uint32_t>(bytes);
  if (bytes == 0)
    return true;
  buffer.reset(new (std::nothrow) unsigned char[bytes]);
  return buffer != nullptr;
}

void closeDevice(void* device) {
  ZKFPM_CloseDevice(device);
  ZKFPM_Terminate();
}

// Closes the open reader, whose handle no longer reaches a reader, and publishes none in its
// place. Its fingerprint cache has no release call and is left behind.
void closeReader(CaptureState::Reader& reader) REQUIRES(reader.callMutex) {
  closeDevice(reader.open()->deviceHandle);
  reader.publish(nullptr);
}

// The open sequence: sets up a reader, publishes it and starts the worker if none runs yet.
// A reader is published only once it is ready to capture, so a failure at any step leaves none
// open and the next beginCapture starts over. Called with the reader-call lock held, like every
// other call on a reader, though no other thread can see this one before it is published.
int openReader(CaptureState::Reader& reader, std::int32_t modeArg, std::int32_t fakeArg)
    REQUIRES(reader.callMutex) {
  if (ZKFPM_Init() != 0)
    return RET_INIT_FAILED;
  void* device = ZKFPM_OpenDevice(0);
  if (device == nullptr) {
    ZKFPM_Terminate();
    return RET_NO_DEVICE;
  }
  void* cache = ZKFPM_DBInit();
  if (cache == nullptr) {
    closeDevice(device);
    return RET_SETUP_FAILED;
  }

  const CaptureMode captureMode = modeArg == Single ? Single : Enroll;
  std::int32_t fakeFunOn = fakeArg == 0 ? 0 : 1;
  ZKFPM_SetParameters(device, ZKFP_PARAM_ANTI_FAKE, reinterpret_cast<unsigned char*>(&fakeFunOn),
                      sizeof fakeFunOn);
  const std::int32_t width = readInt32Parameter(device, ZKFP_PARAM_IMAGE_WIDTH);
  const std::int32_t height = readInt32Parameter(device, ZKFP_PARAM_IMAGE_HEIGHT);
  std::unique_ptr<unsigned char[]> imageBuffer;
  std::uint32_t imageBufferSize = 0;
  if (!allocateImageBuffer(width, height, imageBuffer, imageBufferSize)) {
    // Without a buffer for its image the reader cannot capture; it is closed again rather
    // than reported open. The fingerprint cache has no release call and is left behind.
    closeDevice(device);
    return RET_SETUP_FAILED;
  }

  reader.publish(std::unique_ptr<const OpenReader>(new OpenReader{
      .deviceHandle = device,
      .dbCacheHandle = cache,
      .imageWidth = width,
      .imageHeight = height,
      .imageBuffer = std::move(imageBuffer),
      .imageBufferSize = imageBufferSize,
      .captureMode = captureMode,
      .fakeFunOn = fakeFunOn,
  }));
  reader.stopRequested = 0;
  // If the thread cannot be started the reader stays open and nothing is captured; the next
  // open tries again.
  startCaptureWorker(reader);
  return RET_OK;
}

// Reads the open reader's serial number into `serial` (SERIAL_BUFFER_SIZE bytes, zeroed).
int readSerial(CaptureState::Reader& reader, unsigned char* serial) REQUIRES(reader.callMutex) {
  unsigned int size = SERIAL_BUFFER_SIZE;
  return ZKFPM_GetParameters(reader.open()->deviceHandle, ZKFP_PARAM_SERIAL_NUMBER, serial, &size);
}

// The serial text in the buffer: up to its first zero byte, or all of it.
std::string_view serialText(const unsigned char* serial) {
  const auto* text = reinterpret_cast<const char*>(serial);
  std::string_view serialText(text, strnlen(text, SERIAL_BUFFER_SIZE));
  // A serial that fills the buffer was cut there, perhaps inside a character.
  if (serialText.size() == SERIAL_BUFFER_SIZE)
    serialText = withoutCutCharacter(serialText);
  return serialText;
}

std::string serialReply(int ret, std::string_view serial) {
  std::string reply = "{\"ret\":";
  appendDecimal(reply, ret);
  reply += ", \"data\":{\"sn\":\"";
  appendJsonStringContent(reply, serial);
  reply += "\"}}";
  return reply;
}

} // namespace

BeginCaptureFlags beginCaptureFlags(std::string_view queryString) {
  BeginCaptureFlags flags;
  if (queryString.find("type=2") != std::string_view::npos)
    flags.modeArg = 2;
  if (queryString.find("FakeFunOn=0") != std::string_view::npos)
    flags.fakeArg = 0;
  return flags;
}

std::string beginCapture(std::int32_t modeArg, std::int32_t fakeArg) {
  CaptureState& state = captureState();
  {
    platform::MutexLock lock(state.progress.mutex);
    state.progress.reset();
  }

  // Held from the first serial read to the last, through any closing and opening between:
  // the worker, if it runs, waits between two captures and then finds whatever reader is open.
  CaptureState::Reader& reader = state.reader;
  platform::MutexLock lock(reader.callMutex);
  unsigned char serial[SERIAL_BUFFER_SIZE] = {};
  // The serial is read on every call to an open reader. A read that fails is the one sign the
  // SDK gives of a reader that is gone (unplugged, or lost while the computer slept): its handle
  // will never capture again, even once it is back, so it is closed and the open sequence runs
  // again, which finds the reader back under a new handle or answers -2 while it is away.
  if (reader.open() != nullptr) {
    if (readSerial(reader, serial) == 0)
      return serialReply(RET_OK, serialText(serial));
    closeReader(reader);
    std::memset(serial, 0, sizeof serial); // whatever the failed read left there
  }
  const int ret = openReader(reader, modeArg, fakeArg);
  if (ret == RET_OK)
    readSerial(reader, serial); // the result is not looked at: a failed read leaves it empty
  return serialReply(ret, serialText(serial));
}

} // namespace capture
