// The control commands of the simulated reader: the one table of them, from which the dispatch,
// the `help` reply and reader-sim's usage text are all made, and the members that carry each
// one out. Any thread; each command runs under the reader's lock.
#include "simulator/control_commands.h"

#include "simulator/simulated_reader.h"

#include <algorithm>
#include <charconv>
#include <future>
#include <memory>

namespace simulator {
namespace {

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

// A reply that is there at once.
CommandStart replyNow(std::string reply) { return {std::move(reply), {}}; }

} // namespace

// Replies: "ok" with optional text after one space, or "error <reason>". Every command but
// press and fake replies at once.
// One row a line, as a table reads: formatting would spread each over five.
// clang-format off
constexpr SimulatedReader::ControlCommand SimulatedReader::CONTROL_COMMANDS[] = {
    // One press is used up by one capture; at most MAX_PENDING_PRESSES wait in the queue, one
    // more is refused. length=L makes that capture report L bytes (for testing oversized
    // results; the buffer is never written past its size). Without wait= the reply is "ok" at
    // once. With wait=MS (1 to MAX_PRESS_WAIT_MS) it comes once the press has been taken and
    // the service is done with it: "ok captured"; "ok dropped" when reset removed it first; or
    // "error timeout" when no capture took it in time, and it is withdrawn.
    {"press", "N [length=L] [wait=MS]", "queue a press of live finger N (0 to 999999)", {},
     &SimulatedReader::pressCommand},
    // Taken, its wait replies "ok fake".
    {"fake", "N [wait=MS]", "the same for a finger the fake-finger check rejects", {},
     &SimulatedReader::pressCommand},
    // An open handle dies with the unplug and stays dead: only a new open gives a working one.
    {"unplug", {}, "detach the reader; its open handle stops working for good", {},
     &SimulatedReader::plugCommand},
    {"plug", {}, "attach the reader again, to be opened anew", {},
     &SimulatedReader::plugCommand},
    // Replies "ok yes" or "ok no"; changes nothing, so a diagnosis may ask it at any time.
    {"attached", {}, "whether the reader is attached", {}, &SimulatedReader::attachedCommand},
    // params: every ZKFPM_GetParameters.
    {"fail", "CALL", "make CALL fail from now on", {}, &SimulatedReader::failCommand},
    {"pass", "CALL", "make CALL succeed again", "CALL: init dbinit merge params",
     &SimulatedReader::failCommand},
    {"serial", "TEXT", "the serial number (the rest of the line, may be empty)", {},
     &SimulatedReader::serialCommand},
    {"image", "W H", "the image size the reader reports (0 0 is allowed)", {},
     &SimulatedReader::imageCommand},
    // Taken before the reader's lock, so that nothing else waits on it.
    {"slow", "MS", "parameter reads, matches, merges, base64: MS (0 to 1000) slower", {},
     &SimulatedReader::slowCommand},
    // Replies "ok N".
    {"pending", {}, "the presses queued and not yet captured", {},
     &SimulatedReader::pendingCommand},
    // Replies "ok NAME=COUNT ...", parameter calls also counted as NAME:CODE, e.g.
    // ZKFPM_GetParameters:2004=3; only non-zero counts are listed.
    {"calls", {}, "the SDK calls seen so far, by function", {}, &SimulatedReader::callsCommand},
    // Attached, nothing pressed or failing, no calls, the default serial and image size.
    {"reset", {}, "back to the defaults; an open reader stays open, a dead handle dead", {},
     &SimulatedReader::resetCommand},
    // Replies "ok commands: " and the synopses, separated by " | ".
    {"help", {}, "the command list", {}, &SimulatedReader::helpCommand},
    };
// clang-format on

std::string SimulatedReader::ControlCommand::synopsis() const {
  std::string text(name);
  if (!arguments.empty())
    text.append(" ").append(arguments);
  return text;
}

std::string SimulatedReader::ControlCommand::legendText() const {
  return legend.empty() ? std::string() : " (" + std::string(legend) + ")";
}

std::string controlCommandUsage() {
  std::size_t width = 0;
  for (const auto& command : SimulatedReader::CONTROL_COMMANDS)
    width = std::max(width, command.synopsis().size());
  std::string usage;
  for (const auto& command : SimulatedReader::CONTROL_COMMANDS) {
    std::string line = "  " + command.synopsis();
    line.resize(width + 4, ' ');
    usage += line.append(command.summary) + command.legendText() + "\n";
  }
  return usage;
}

std::string runControlCommand(std::string_view line) {
  return SimulatedReader::instance().command(line);
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

CommandStart SimulatedReader::startCommand(std::string_view line, PressCallback settled) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  CommandLine command{line, splitWords(line), std::move(settled)};
  if (command.words.empty())
    return replyNow("error empty command");
  const std::string_view verb = command.words[0];

  std::lock_guard lock(mutex_);
  takeControl();
  for (const ControlCommand& known : CONTROL_COMMANDS)
    if (known.name == verb)
      return (this->*known.handler)(command);
  return replyNow("error unknown command " + std::string(verb) + " (try help)");
}

CommandStart SimulatedReader::pressCommand(CommandLine& command) {
  const std::vector<std::string_view>& words = command.words;
  const std::string_view verb = words[0];
  Press press;
  press.live = verb == "press";
  if (words.size() < 2 || !parseNumber(words[1], press.finger) || press.finger > MAX_FINGER)
    return replyNow("error usage: " + std::string(verb) + " N (0 to 999999)");
  std::optional<std::uint32_t> waitMs;
  for (std::size_t i = 2; i < words.size(); ++i) {
    std::uint32_t value = 0;
    if (words[i].starts_with("length=") && parseNumber(words[i].substr(7), value) && value != 0)
      press.reportedLength = value;
    else if (words[i].starts_with("wait=") && parseNumber(words[i].substr(5), value) &&
             value != 0 && value <= MAX_PRESS_WAIT_MS)
      waitMs = value;
    else
      return replyNow("error unknown option " + std::string(words[i]) +
                      (words[i].starts_with("wait=") ? " (1 to 60000 ms)" : ""));
  }
  if (presses_.size() >= MAX_PENDING_PRESSES)
    return replyNow("error queue full (" + std::to_string(MAX_PENDING_PRESSES) +
                    " presses pending)");
  press.id = ++lastPressId_;
  if (!waitMs) {
    presses_.push_back(std::move(press));
    return replyNow("ok");
  }
  press.settled = std::move(command.settled);
  const PressWait wait{press.id, std::chrono::milliseconds(*waitMs)};
  presses_.push_back(std::move(press));
  return {{}, wait};
}

CommandStart SimulatedReader::plugCommand(CommandLine& command) {
  attached_ = command.words[0] == "plug";
  if (!attached_ && openDevice_ != nullptr)
    openDeviceLost_ = true;
  return replyNow("ok");
}

CommandStart SimulatedReader::attachedCommand(CommandLine&) {
  return replyNow(attached_ ? "ok yes" : "ok no");
}

CommandStart SimulatedReader::failCommand(CommandLine& command) {
  const std::string_view verb = command.words[0];
  const std::string_view call = command.words.size() == 2 ? command.words[1] : "";
  bool* flag = call == "init"     ? &failInit_
               : call == "dbinit" ? &failDbInit_
               : call == "merge"  ? &failMerge_
               : call == "params" ? &failParameters_
                                  : nullptr;
  if (flag == nullptr)
    return replyNow("error usage: " + std::string(verb) + " init|dbinit|merge|params");
  *flag = verb == "fail";
  return replyNow("ok");
}

CommandStart SimulatedReader::serialCommand(CommandLine& command) {
  const std::string_view line = command.text, verb = command.words[0];
  const auto afterVerb = static_cast<std::size_t>(verb.data() - line.data()) + verb.size();
  serial_ = afterVerb < line.size() ? std::string(line.substr(afterVerb + 1)) : std::string();
  return replyNow("ok");
}

CommandStart SimulatedReader::imageCommand(CommandLine& command) {
  const std::vector<std::string_view>& words = command.words;
  std::int32_t width = 0, height = 0;
  if (words.size() != 3 || !parseNumber(words[1], width) || !parseNumber(words[2], height))
    return replyNow("error usage: image W H");
  imageWidth_ = width;
  imageHeight_ = height;
  return replyNow("ok");
}

CommandStart SimulatedReader::slowCommand(CommandLine& command) {
  std::uint32_t ms = 0;
  if (command.words.size() != 2 || !parseNumber(command.words[1], ms) || ms > MAX_SLOW_MS)
    return replyNow("error usage: slow MS (0 to 1000)");
  slowMs_ = ms;
  return replyNow("ok");
}

CommandStart SimulatedReader::pendingCommand(CommandLine&) {
  return replyNow("ok " + std::to_string(presses_.size()));
}

CommandStart SimulatedReader::callsCommand(CommandLine&) {
  std::string reply = "ok";
  for (const auto& [name, count] : calls_)
    reply += " " + name + "=" + std::to_string(count);
  return replyNow(std::move(reply));
}

CommandStart SimulatedReader::resetCommand(CommandLine&) {
  resetToDefaults();
  return replyNow("ok");
}

CommandStart SimulatedReader::helpCommand(CommandLine&) {
  std::string reply = "ok commands:";
  for (const ControlCommand& command : CONTROL_COMMANDS) {
    reply.append(&command == CONTROL_COMMANDS ? " " : " | ")
        .append(command.synopsis() + command.legendText());
  }
  return replyNow(std::move(reply));
}

} // namespace simulator
