#include "capture/begin_capture.h"

#include "capture/capture_state.h"
#include "capture/capture_worker.h"
#include "capture/json_text.h"
#include "reader/zkfp.h"

#include <cstring>
#include <limits>
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

// The image buffer every capture is given. False when the reported size is negative, beyond
// any reader's, or cannot be allocated.
bool allocateImageBuffer() {
  CaptureState::Reader& reader = captureState().reader;
  if (reader.imageWidth < 0 || reader.imageHeight < 0)
    return false;
  const std::uint64_t size = std::uint64_t(reader.imageWidth) * std::uint64_t(reader.imageHeight);
  if (size > MAX_IMAGE_BYTES)
    return false;
  reader.imageBufferSize = static_cast<std::uint32_t>(size);
  if (size == 0)
    return true;
  reader.imageBuffer.reset(new (std::nothrow) unsigned char[size]);
  return reader.imageBuffer != nullptr;
}

void closeReader(void* device) {
  ZKFPM_CloseDevice(device);
  ZKFPM_Terminate();
}

// The open sequence, which sets up the reader part of the record before the worker starts.
// The reader counts as open (deviceHandle set) only once it is ready to capture, so a failure at
// any step leaves it closed and the next beginCapture starts over.
int openReader(std::int32_t modeArg, std::int32_t fakeArg) {
  CaptureState::Reader& reader = captureState().reader;
  if (ZKFPM_Init() != 0)
    return RET_INIT_FAILED;
  void* device = ZKFPM_OpenDevice(0);
  if (device == nullptr) {
    ZKFPM_Terminate();
    return RET_NO_DEVICE;
  }
  void* cache = ZKFPM_DBInit();
  if (cache == nullptr) {
    closeReader(device);
    return RET_SETUP_FAILED;
  }

  reader.captureMode = modeArg == Single ? Single : Enroll;
  reader.fakeFunOn = fakeArg == 0 ? 0 : 1;
  ZKFPM_SetParameters(device, ZKFP_PARAM_ANTI_FAKE,
                      reinterpret_cast<unsigned char*>(&reader.fakeFunOn), sizeof reader.fakeFunOn);
  reader.imageWidth = readInt32Parameter(device, ZKFP_PARAM_IMAGE_WIDTH);
  reader.imageHeight = readInt32Parameter(device, ZKFP_PARAM_IMAGE_HEIGHT);
  if (!allocateImageBuffer()) {
    // Without a buffer for its image the reader cannot capture; it is closed again rather
    // than reported open. The fingerprint cache has no release call and is left behind.
    reader.imageWidth = reader.imageHeight = 0;
    reader.imageBufferSize = 0;
    closeReader(device);
    return RET_SETUP_FAILED;
  }

  reader.deviceHandle = device;
  reader.dbCacheHandle = cache;
  reader.stopRequested = 0;
  // If the thread cannot be started the reader stays open and nothing is ever captured.
  startCaptureWorker();
  return RET_OK;
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

  int ret = RET_OK;
  if (state.reader.deviceHandle == nullptr)
    ret = openReader(modeArg, fakeArg);

  // The serial is read on every successful call; the worker may be capturing meanwhile.
  unsigned char serial[SERIAL_BUFFER_SIZE] = {};
  if (ret == RET_OK) {
    unsigned int size = SERIAL_BUFFER_SIZE;
    platform::MutexLock lock(state.reader.callMutex);
    ZKFPM_GetParameters(state.reader.deviceHandle, ZKFP_PARAM_SERIAL_NUMBER, serial, &size);
  }
  const auto* text = reinterpret_cast<const char*>(serial);
  std::string_view serialText(text, strnlen(text, SERIAL_BUFFER_SIZE));
  // A serial that fills the buffer was cut there, perhaps inside a character.
  if (serialText.size() == SERIAL_BUFFER_SIZE)
    serialText = withoutCutCharacter(serialText);
  return serialReply(ret, serialText);
}

} // namespace capture
