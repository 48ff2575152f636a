#include "simulator/simulated_reader.h"

#include "reader/zkfp.h"
#include "simulator/simulated_templates.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace simulator {
namespace {

// The token whose address serves as the cache handle.
char cacheToken;

void writeInt32(std::int32_t value, unsigned char* out, unsigned int* size) {
  std::memcpy(out, &value, sizeof value);
  *size = sizeof value;
}

} // namespace

const char* pressOutcomeReply(PressOutcome outcome) {
  switch (outcome) {
  case PressOutcome::Captured:
    return "ok captured";
  case PressOutcome::Fake:
    return "ok fake";
  case PressOutcome::Dropped:
    return "ok dropped";
  case PressOutcome::TimedOut:
    break;
  }
  return "error timeout";
}

SimulatedReader& SimulatedReader::instance() {
  // Never destroyed: the control channel's thread may still use it while the process exits.
  static SimulatedReader* reader = new SimulatedReader;
  return *reader;
}

void SimulatedReader::countCall(const char* function, int code) {
  ++calls_[function];
  if (code >= 0)
    ++calls_[std::string(function) + ":" + std::to_string(code)];
}

void SimulatedReader::takeTime() const {
  if (const std::uint32_t ms = slowMs_)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool SimulatedReader::deviceUsable(void* device) const {
  return device != nullptr && device == openDevice_ && !openDeviceLost_ && attached_;
}

int SimulatedReader::init() {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_Init");
  if (failInit_)
    return RESULT_FAILED;
  initialised_ = true;
  return RESULT_OK;
}

int SimulatedReader::terminate() {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_Terminate");
  initialised_ = false;
  openDevice_ = nullptr;
  return RESULT_OK;
}

void* SimulatedReader::openDevice(int index) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_OpenDevice");
  if (!initialised_ || !attached_ || index != 0)
    return nullptr;
  openDevice_ = &deviceTokens_.emplace_back();
  openDeviceLost_ = false;
  return openDevice_;
}

int SimulatedReader::closeDevice(void* device) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_CloseDevice");
  // A lost handle is closed like any other: that frees what the library held for it.
  if (device == nullptr || device != openDevice_)
    return RESULT_INVALID_HANDLE;
  openDevice_ = nullptr;
  return RESULT_OK;
}

void* SimulatedReader::dbInit() {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_DBInit");
  if (failDbInit_ || !initialised_)
    return nullptr;
  return &cacheToken;
}

int SimulatedReader::setParameter(void* device, int code, const unsigned char* value,
                                  unsigned int size) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_SetParameters", code);
  if (!deviceUsable(device))
    return RESULT_INVALID_HANDLE;
  // The anti-fake switch is accepted and has no effect: a fake press is always reported fake.
  if (code != ZKFP_PARAM_ANTI_FAKE || value == nullptr || size != sizeof(std::int32_t))
    return RESULT_NOT_SUPPORTED;
  return RESULT_OK;
}

int SimulatedReader::getParameter(void* device, int code, unsigned char* value,
                                  unsigned int* size) {
  takeTime();
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_GetParameters", code);
  if (!deviceUsable(device))
    return RESULT_INVALID_HANDLE;
  if (failParameters_)
    return RESULT_FAILED;
  if (value == nullptr || size == nullptr)
    return RESULT_NOT_SUPPORTED;
  switch (code) {
  case ZKFP_PARAM_IMAGE_WIDTH:
  case ZKFP_PARAM_IMAGE_HEIGHT:
  case ZKFP_PARAM_FAKE_STATUS:
    if (*size < sizeof(std::int32_t))
      return RESULT_BUFFER_TOO_SMALL;
    writeInt32(code == ZKFP_PARAM_IMAGE_WIDTH    ? imageWidth_
               : code == ZKFP_PARAM_IMAGE_HEIGHT ? imageHeight_
                                                 : lastFakeStatus_,
               value, size);
    return RESULT_OK;
  case ZKFP_PARAM_SERIAL_NUMBER: {
    // Like a reader's serial field: as many bytes as fit, terminated only when there is room.
    const auto length = static_cast<unsigned int>(std::min<std::size_t>(serial_.size(), *size));
    std::memcpy(value, serial_.data(), length);
    if (length < *size)
      value[length] = 0;
    *size = length;
    return RESULT_OK;
  }
  default:
    return RESULT_NOT_SUPPORTED;
  }
}

int SimulatedReader::acquireFingerprint(void* device, unsigned char* image, unsigned int imageSize,
                                        unsigned char* templ, unsigned int* templateLength) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_AcquireFingerprint");
  // The worker asks again only once it has done with the previous capture.
  settleTakenPress();
  if (!deviceUsable(device))
    return RESULT_INVALID_HANDLE;
  if (templ == nullptr || templateLength == nullptr)
    return RESULT_NOT_SUPPORTED;
  if (presses_.empty())
    return RESULT_NO_FINGER;

  const std::uint32_t length = capturedTemplateLength(presses_.front().finger);
  if (*templateLength < length)
    return RESULT_BUFFER_TOO_SMALL;
  takenPress_ = std::move(presses_.front());
  presses_.pop_front();
  const Press& press = *takenPress_;
  ++pressesCaptured_;
  writeTemplate(CAPTURED_TEMPLATE, press.finger, pressesCaptured_, templ, length);
  // A token image: a real reader fills the whole buffer; touching a few bytes is enough to show
  // the buffer is usable without paging in a large one.
  if (image != nullptr)
    std::memset(image, 0x80, std::min(imageSize, 16u));
  *templateLength = press.reportedLength != 0 ? press.reportedLength : length;
  lastFakeStatus_ = press.live ? LIVE_FINGER_STATUS : FAKE_FINGER_STATUS;
  return RESULT_OK;
}

int SimulatedReader::match(void* cache, const unsigned char* first, unsigned int firstLength,
                           const unsigned char* second, unsigned int secondLength) {
  takeTime();
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_DBMatch");
  if (cache != &cacheToken)
    return RESULT_INVALID_HANDLE;
  const auto a = identifyTemplate(first, firstLength);
  const auto b = identifyTemplate(second, secondLength);
  if (!a || !b || a->finger != b->finger)
    return 0;
  return 80;
}

int SimulatedReader::merge(void* cache, const unsigned char* first, const unsigned char* second,
                           const unsigned char* third, unsigned char* merged,
                           unsigned int* mergedLength) {
  takeTime();
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_DBMerge");
  if (cache != &cacheToken)
    return RESULT_INVALID_HANDLE;
  if (failMerge_ || merged == nullptr || mergedLength == nullptr)
    return RESULT_MERGE_FAILED;
  // The inputs carry no length: each is read only as far as its header says it reaches.
  const std::uint32_t headerOnly = 12;
  const auto a = identifyTemplate(first, headerOnly);
  const auto b = identifyTemplate(second, headerOnly);
  const auto c = identifyTemplate(third, headerOnly);
  if (!a || !b || !c || a->finger != b->finger || b->finger != c->finger)
    return RESULT_MERGE_FAILED;
  const std::uint32_t length = mergedTemplateLength(a->finger);
  if (*mergedLength < length)
    return RESULT_BUFFER_TOO_SMALL;
  writeTemplate(MERGED_TEMPLATE, a->finger, 0, merged, length);
  *mergedLength = length;
  return RESULT_OK;
}

int SimulatedReader::blobToBase64(const unsigned char* blob, unsigned int length, char* text,
                                  unsigned int textSize) {
  takeTime();
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_BlobToBase64");
  // The service converts a template only to publish it, and publishes it while converting: once
  // this returns, the capture's template is in place and the press is finished with.
  struct SettleOnReturn {
    SimulatedReader* reader;
    ~SettleOnReturn() { reader->settleTakenPress(); }
  } settleOnReturn{this};
  if (text == nullptr || textSize == 0)
    return 0;
  text[0] = '\0';
  if (blob == nullptr)
    return 0;
  const std::string encoded = encodeBase64(blob, length);
  if (encoded.size() + 1 > textSize)
    return 0;
  std::memcpy(text, encoded.c_str(), encoded.size() + 1);
  return static_cast<int>(encoded.size());
}

// A press counts as finished with once the service can no longer be busy with it: at the next
// capture attempt (the worker has used the capture and paused), or when a template has been
// converted for publication. Whoever waits for it is told then, so that a status request sent
// after the reply already sees the press.
void SimulatedReader::settleTakenPress() {
  if (!takenPress_)
    return;
  if (takenPress_->settled)
    takenPress_->settled(takenPress_->live ? PressOutcome::Captured : PressOutcome::Fake);
  takenPress_.reset();
}

// Back to the defaults of the settings and the queue. What the service holds stays as it is: an
// open reader stays open and initialised, so the service keeps capturing without opening again,
// and a handle lost to an unplug stays dead, as plugging the reader back in leaves it.
void SimulatedReader::resetToDefaults() {
  attached_ = true;
  failInit_ = failDbInit_ = failMerge_ = failParameters_ = false;
  settleTakenPress();
  for (Press& press : presses_)
    if (press.settled)
      press.settled(PressOutcome::Dropped);
  presses_.clear();
  serial_ = DEFAULT_SERIAL_NUMBER;
  imageWidth_ = DEFAULT_IMAGE_WIDTH;
  imageHeight_ = DEFAULT_IMAGE_HEIGHT;
  lastFakeStatus_ = 0;
  pressesCaptured_ = 0;
  slowMs_ = 0;
  calls_.clear();
}

void SimulatedReader::attachForControl() {
  std::lock_guard lock(mutex_);
  takeControl();
}

void SimulatedReader::takeControl() {
  if (!controlled_) {
    controlled_ = true;
    resetToDefaults();
  }
}

std::optional<PressOutcome> SimulatedReader::expirePress(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto queued = std::find_if(presses_.begin(), presses_.end(),
                                   [id](const Press& press) { return press.id == id; });
  if (queued != presses_.end()) {
    // Withdrawn, so that it cannot be captured later by surprise.
    presses_.erase(queued);
    return PressOutcome::TimedOut;
  }
  if (takenPress_ && takenPress_->id == id && takenPress_->settled) {
    takenPress_->settled = nullptr;
    return takenPress_->live ? PressOutcome::Captured : PressOutcome::Fake;
  }
  return std::nullopt;
}

} // namespace simulator
