#include "rest/router.h"

#include "capture/begin_capture.h"
#include "capture/capture_state.h"
#include "rest/reply_framing.h"

#include <array>

namespace rest {
namespace {

struct Route {
  std::string_view path;
  std::string (*operation)(std::string_view queryString);
  // Its reply carries something given out only once: it must not run unless the body is sent.
  bool handsSomethingOver;
};

// Paths match exactly (case, length, no trailing "/"), so the order does not matter.
constexpr std::array<Route, 5> ROUTES{{
    {"/varuvezivuv/fingerprint/beginCapture",
     [](std::string_view queryString) {
       const capture::BeginCaptureFlags flags = capture::beginCaptureFlags(queryString);
       return capture::beginCapture(flags.modeArg, flags.fakeArg);
     },
     false},
    {"/varuvezivuv/info", [](std::string_view) { return capture::info(); }, false},
    {"/varuvezivuv/fingerprint/getImage", [](std::string_view) { return capture::getImage(); },
     false},
    {"/varuvezivuv/fingerprint/getTemplate",
     [](std::string_view) { return capture::getTemplate(); }, true},
    {"/varuvezivuv/fingerprint/cancelCapture",
     [](std::string_view) { return std::string("{\"ret\":0}"); }, false},
}};

} // namespace

RequestTarget splitTarget(std::string_view target) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos)
    return {target, {}};
  return {target.substr(0, question), target.substr(question + 1)};
}

std::optional<std::string> routeRequest(const HttpRequest& request) {
  const RequestTarget target = splitTarget(request.target);
  for (const Route& route : ROUTES) {
    if (route.path != target.uri)
      continue;
    if (request.isHead && route.handsSomethingOver)
      return std::string();
    return route.operation(target.queryString);
  }
  return std::nullopt;
}

AfterRequest handleHttpEvent(const HttpRequest& request, std::string& output) {
  const std::optional<std::string> body = routeRequest(request);
  if (!body)
    return AfterRequest::Close;
  sendJsonReply(output, *body, request.isHead ? ReplyBody::Omitted : ReplyBody::Sent);
  return AfterRequest::KeepOpen;
}

} // namespace rest
