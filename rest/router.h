// Picks the operation for a request by its exact path, from one fixed route table, and frames
// its reply. Requests for any other path get no reply: their connection is closed. A CORS
// preflight of a known path is answered here and runs no operation: a browser sends one before
// a page's request that carries a header of its own, and drops what it gets.
// Event-loop thread only (the operations touch the capture state).
#pragma once

#include <string>
#include <string_view>

namespace rest {

// What the router reads of a parsed request.
struct HttpRequest {
  std::string_view target; // as sent: the path, then "?" and the query string if any
  bool isHead = false;     // a HEAD request: the reply's head only, and nothing handed over
  // An OPTIONS request carrying Access-Control-Request-Method, and what it carried in
  // Access-Control-Request-Headers. Any other OPTIONS request is routed as any method is.
  bool isPreflight = false;
  std::string_view requestedHeaders;
};

enum class AfterRequest { KeepOpen, Close };

// The request target split at its first "?", not decoded.
struct RequestTarget {
  std::string_view uri;
  std::string_view queryString;
};
RequestTarget splitTarget(std::string_view target);

// Puts the reply body for `request` in `body` (in place of what it held); false when no route
// matches. For a HEAD request an operation that hands something over is not run, and the body
// is empty.
bool routeRequest(const HttpRequest& request, std::string& body);

// Routes one request and appends its whole reply to `output`; Close when no route matched.
AfterRequest handleHttpEvent(const HttpRequest& request, std::string& output);

} // namespace rest
