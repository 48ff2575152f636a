#include "rest/router.h"

#include "capture/begin_capture.h"
#include "capture/capture_state.h"
#include "rest/reply_framing.h"

#include <algorithm>
#include <array>

namespace rest {
namespace {

struct Route {
  std::string_view path;
  void (*operation)(std::string_view queryString, std::string& body);
  // Its reply carries something given out only once: it must not run unless the body is sent.
  bool handsSomethingOver;
};

// Paths match exactly (case, length, no trailing "/"), so the order does not matter.
constexpr std::array<Route, 5> ROUTES{{
    {"/varuvezivuv/fingerprint/beginCapture",
     [](std::string_view queryString, std::string& body) {
       const capture::BeginCaptureFlags flags = capture::beginCaptureFlags(queryString);
       body = capture::beginCapture(flags.modeArg, flags.fakeArg);
     },
     false},
    {"/varuvezivuv/info", [](std::string_view, std::string& body) { capture::info(body); }, false},
    {"/varuvezivuv/fingerprint/getImage",
     [](std::string_view, std::string& body) { capture::getImage(body); }, false},
    {"/varuvezivuv/fingerprint/getTemplate",
     [](std::string_view, std::string& body) { capture::getTemplate(body); }, true},
    {"/varuvezivuv/fingerprint/cancelCapture",
     [](std::string_view, std::string& body) { body = "{\"ret\":0}"; }, false},
}};

// Every reply body is built here, then framed into the output. Event-loop thread only.
std::string bodyBuffer;

} // namespace

RequestTarget splitTarget(std::string_view target) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos)
    return {target, {}};
  return {target.substr(0, question), target.substr(question + 1)};
}

namespace {

const Route* findRoute(std::string_view uri) {
  const auto route = std::find_if(ROUTES.begin(), ROUTES.end(),
                                  [uri](const Route& candidate) { return candidate.path == uri; });
  return route == ROUTES.end() ? nullptr : &*route;
}

} // namespace

bool routeRequest(const HttpRequest& request, std::string& body) {
  const RequestTarget target = splitTarget(request.target);
  const Route* route = findRoute(target.uri);
  if (route == nullptr)
    return false;
  if (request.isHead && route->handsSomethingOver)
    body.clear();
  else
    route->operation(target.queryString, body);
  return true;
}

AfterRequest handleHttpEvent(const HttpRequest& request, std::string& output) {
  if (request.isPreflight) {
    if (findRoute(splitTarget(request.target).uri) == nullptr)
      return AfterRequest::Close;
    sendPreflightReply(output, request.requestedHeaders);
    return AfterRequest::KeepOpen;
  }
  if (!routeRequest(request, bodyBuffer))
    return AfterRequest::Close;
  sendJsonReply(output, bodyBuffer, request.isHead ? ReplyBody::Omitted : ReplyBody::Sent);
  return AfterRequest::KeepOpen;
}

} // namespace rest
