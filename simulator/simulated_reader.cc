#include "simulator/simulated_reader.h"

#include "reader/zkfp.h"
#include "simulator/control_commands.h"
#include "simulator/simulated_templates.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace simulator {
namespace {

// Tokens whose addresses serve as the reader and cache handles.
char deviceToken;
char cacheToken;

constexpr std::uint32_t MAX_FINGER = 999999;
constexpr std::uint32_t MAX_SLOW_MS = 1000;

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
      ++i;
    if (i > start)
      words.push_back(line.substr(start, i - start));
  }
  return words;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end == text.data() + text.size();
}

void writeInt32(std::int32_t value, unsigned char* out, unsigned int* size) {
  std::memcpy(out, &value, sizeof value);
  *size = sizeof value;
}

constexpr const char* HELP_TEXT =
    "ok commands: press N [length=L] [wait=MS] | fake N [wait=MS] | unplug | plug | "
    "fail CALL | pass CALL (CALL: init dbinit merge params) | serial TEXT | image W H | "
    "slow MS | pending | calls | reset | help";

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
  return device == &deviceToken && deviceOpen_ && attached_;
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
  deviceOpen_ = false;
  return RESULT_OK;
}

void* SimulatedReader::openDevice(int index) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_OpenDevice");
  if (!initialised_ || !attached_ || index != 0)
    return nullptr;
  deviceOpen_ = true;
  return &deviceToken;
}

int SimulatedReader::closeDevice(void* device) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_CloseDevice");
  if (device != &deviceToken || !deviceOpen_)
    return RESULT_INVALID_HANDLE;
  deviceOpen_ = false;
  return RESULT_OK;
}

void* SimulatedReader::dbInit() {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_DBInit");
  if (failDbInit_ || !initialised_)
    return nullptr;
  ++cachesCreated_;
  return &cacheToken;
}

int SimulatedReader::setParameter(void* device, int code, const unsigned char* value,
                                  unsigned int size) {
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_SetParameters", code);
  if (!deviceUsable(device))
    return RESULT_INVALID_HANDLE;
  if (code != ZKFP_PARAM_ANTI_FAKE || value == nullptr || size != sizeof(std::int32_t))
    return RESULT_NOT_SUPPORTED;
  std::memcpy(&antiFakeSwitch_, value, sizeof antiFakeSwitch_);
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

std::string SimulatedReader::listCalls() const {
  std::string reply = "ok";
  for (const auto& [name, count] : calls_)
    reply += " " + name + "=" + std::to_string(count);
  return reply;
}

// Back to the defaults of the settings and the queue. What the service holds stays valid: an
// open reader stays open and initialised, with the anti-fake switch it set, so the service
// keeps capturing without opening again.
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
  if (!controlled_) {
    controlled_ = true;
    resetToDefaults();
  }
}

std::string SimulatedReader::command(std::string_view line) {
  auto outcome = std::make_shared<std::promise<PressOutcome>>();
  std::future<PressOutcome> settled = outcome->get_future();
  CommandStart start =
      startCommand(line, [outcome](PressOutcome result) { outcome->set_value(result); });
  if (!start.wait)
    return start.reply;
  if (settled.wait_for(start.wait->limit) != std::future_status::ready) {
    if (const auto result = expirePress(start.wait->id))
      return pressOutcomeReply(*result);
  }
  return pressOutcomeReply(settled.get());
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

CommandStart SimulatedReader::startPress(const std::vector<std::string_view>& words,
                                         PressCallback settled) {
  const std::string_view verb = words[0];
  Press press;
  press.live = verb == "press";
  if (words.size() < 2 || !parseNumber(words[1], press.finger) || press.finger > MAX_FINGER)
    return {"error usage: " + std::string(verb) + " N (0 to 999999)", {}};
  std::optional<std::uint32_t> waitMs;
  for (std::size_t i = 2; i < words.size(); ++i) {
    std::uint32_t value = 0;
    if (words[i].starts_with("length=") && parseNumber(words[i].substr(7), value) &&
        value != 0)
      press.reportedLength = value;
    else if (words[i].starts_with("wait=") && parseNumber(words[i].substr(5), value) &&
             value != 0 && value <= MAX_PRESS_WAIT_MS)
      waitMs = value;
    else
      return {"error unknown option " + std::string(words[i]) +
                  (words[i].starts_with("wait=") ? " (1 to 60000 ms)" : ""),
              {}};
  }
  if (presses_.size() >= MAX_PENDING_PRESSES)
    return {"error queue full (" + std::to_string(MAX_PENDING_PRESSES) + " presses pending)", {}};
  press.id = ++lastPressId_;
  if (!waitMs) {
    presses_.push_back(std::move(press));
    return {"ok", {}};
  }
  press.settled = std::move(settled);
  const PressWait wait{press.id, std::chrono::milliseconds(*waitMs)};
  presses_.push_back(std::move(press));
  return {{}, wait};
}

CommandStart SimulatedReader::startCommand(std::string_view line, PressCallback settled) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  const std::vector<std::string_view> words = splitWords(line);
  if (words.empty())
    return {"error empty command", {}};
  const std::string_view verb = words[0];

  std::lock_guard lock(mutex_);
  if (!controlled_) {
    controlled_ = true;
    resetToDefaults();
  }
  if (verb == "press" || verb == "fake")
    return startPress(words, std::move(settled));
  return {immediateCommand(words, line), {}};
}

std::string SimulatedReader::immediateCommand(const std::vector<std::string_view>& words,
                                              std::string_view line) {
  const std::string_view verb = words[0];
  if (verb == "unplug" || verb == "plug") {
    attached_ = verb == "plug";
    return "ok";
  }
  if (verb == "fail" || verb == "pass") {
    const bool fail = verb == "fail";
    const std::string_view call = words.size() == 2 ? words[1] : "";
    bool* flag = call == "init"     ? &failInit_
                 : call == "dbinit" ? &failDbInit_
                 : call == "merge"  ? &failMerge_
                 : call == "params" ? &failParameters_
                                    : nullptr;
    if (flag == nullptr)
      return "error usage: " + std::string(verb) + " init|dbinit|merge|params";
    *flag = fail;
    return "ok";
  }
  if (verb == "serial") {
    const auto afterVerb = static_cast<std::size_t>(verb.data() - line.data()) + verb.size();
    serial_ = afterVerb < line.size() ? std::string(line.substr(afterVerb + 1)) : std::string();
    return "ok";
  }
  if (verb == "image") {
    std::int32_t width = 0, height = 0;
    if (words.size() != 3 || !parseNumber(words[1], width) || !parseNumber(words[2], height))
      return "error usage: image W H";
    imageWidth_ = width;
    imageHeight_ = height;
    return "ok";
  }
  if (verb == "slow") {
    std::uint32_t ms = 0;
    if (words.size() != 2 || !parseNumber(words[1], ms) || ms > MAX_SLOW_MS)
      return "error usage: slow MS (0 to 1000)";
    slowMs_ = ms;
    return "ok";
  }
  if (verb == "pending")
    return "ok " + std::to_string(presses_.size());
  if (verb == "calls")
    return listCalls();
  if (verb == "reset") {
    resetToDefaults();
    return "ok";
  }
  if (verb == "help")
    return HELP_TEXT;
  return "error unknown command " + std::string(verb) + " (try help)";
}

std::string runControlCommand(std::string_view line) {
  return SimulatedReader::instance().command(line);
}

} // namespace simulator
