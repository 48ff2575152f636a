#include "simulator/simulated_reader.h"

#include "reader/zkfp.h"
#include "simulator/control_commands.h"
#include "simulator/simulated_templates.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <sstream>
#include <vector>

namespace simulator {
namespace {

// Tokens whose addresses serve as the reader and cache handles.
char deviceToken;
char cacheToken;

constexpr std::uint32_t MAX_FINGER = 999999;

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
    "ok commands: press N [length=L] | fake N | unplug | plug | fail CALL | pass CALL "
    "(CALL: init dbinit merge params) | serial TEXT | image W H | pending | calls | reset | help";

} // namespace

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
  if (!deviceUsable(device))
    return RESULT_INVALID_HANDLE;
  if (templ == nullptr || templateLength == nullptr)
    return RESULT_NOT_SUPPORTED;
  if (presses_.empty())
    return RESULT_NO_FINGER;

  const Press press = presses_.front();
  const std::uint32_t length = capturedTemplateLength(press.finger);
  if (*templateLength < length)
    return RESULT_BUFFER_TOO_SMALL;
  presses_.pop_front();
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
  std::lock_guard lock(mutex_);
  countCall("ZKFPM_BlobToBase64");
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

std::string SimulatedReader::listCalls() const {
  std::string reply = "ok";
  for (const auto& [name, count] : calls_)
    reply += " " + name + "=" + std::to_string(count);
  return reply;
}

void SimulatedReader::resetToDefaults() {
  initialised_ = false;
  attached_ = true;
  deviceOpen_ = false;
  failInit_ = failDbInit_ = failMerge_ = failParameters_ = false;
  presses_.clear();
  serial_ = DEFAULT_SERIAL_NUMBER;
  imageWidth_ = DEFAULT_IMAGE_WIDTH;
  imageHeight_ = DEFAULT_IMAGE_HEIGHT;
  antiFakeSwitch_ = 1;
  lastFakeStatus_ = 0;
  pressesCaptured_ = 0;
  calls_.clear();
}

std::string SimulatedReader::command(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  const std::vector<std::string_view> words = splitWords(line);
  if (words.empty())
    return "error empty command";
  const std::string_view verb = words[0];

  std::lock_guard lock(mutex_);
  if (verb == "press" || verb == "fake") {
    Press press;
    press.live = verb == "press";
    if (words.size() < 2 || !parseNumber(words[1], press.finger) || press.finger > MAX_FINGER)
      return "error usage: " + std::string(verb) + " N (0 to 999999)";
    for (std::size_t i = 2; i < words.size(); ++i) {
      if (!words[i].starts_with("length=") ||
          !parseNumber(words[i].substr(7), press.reportedLength) || press.reportedLength == 0)
        return "error unknown option " + std::string(words[i]);
    }
    presses_.push_back(press);
    return "ok";
  }
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
