#include "rest/http_session.h"

#include "rest/request_head.h"
#include "rest/router.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

namespace rest {

namespace http = boost::beast::http;
using boost::beast::error_code;
using BeastText = boost::beast::string_view;

// Keeps what the router and the WebSocket handshake need of a request and discards its body.
// Its hooks are basic_parser's pure virtual ones, so a hook misnamed would leave the class
// abstract and fail to compile. They are not marked override: Beast 1.90 added a hook for
// trailer fields, which earlier Beast lacks, and a class marks all of its overrides or none.
class RequestParser final : public http::basic_parser<true> {
 public:
  RequestParser() {
    // The head's limit applies to the bytes received, which the scan has already checked; the
    // head given here may be up to twice as long, with every bare LF written as CR LF.
    header_limit(2 * MAX_REQUEST_HEAD);
    body_limit(boost::none); // the body is discarded as it arrives, so its size costs nothing
    eager(true);
  }

  // The target as sent: a view into the bytes the head was parsed from until keepTarget().
  std::string_view target() const { return ownsTarget_ ? ownedTarget_ : targetSent_; }
  // Copies the target into the parser, for a request that outlives the bytes of its head.
  void keepTarget() {
    if (!ownsTarget_)
      ownedTarget_.assign(targetSent_);
    ownsTarget_ = true;
  }

  bool isHead = false;
  bool isOptions = false;
  bool hasRequestMethod = false; // Access-Control-Request-Method: OPTIONS makes a preflight
  std::string requestedHeaders;  // Access-Control-Request-Headers, the lines joined
  bool hasWebSocketKey = false;
  std::string webSocketKey;

 private:
  void on_request_impl(http::verb method, BeastText, BeastText requestTarget, int, error_code&) {
    isHead = method == http::verb::head;
    isOptions = method == http::verb::options;
    targetSent_ = {requestTarget.data(), requestTarget.size()};
  }
  void on_response_impl(int, BeastText, int, error_code&) {}
  void on_field_impl(http::field name, BeastText, BeastText value, error_code&) {
    if (name == http::field::sec_websocket_key && !hasWebSocketKey) {
      hasWebSocketKey = true;
      webSocketKey.assign(value.data(), value.size());
    } else if (name == http::field::access_control_request_method) {
      hasRequestMethod = true;
    } else if (name == http::field::access_control_request_headers) {
      if (!requestedHeaders.empty())
        requestedHeaders += ", ";
      requestedHeaders.append(value.data(), value.size());
    }
  }
  // From Beast 1.90 on, the fields of a chunked body's trailer; nothing of them is kept.
  void on_trailer_field_impl(http::field, BeastText, BeastText, error_code&) {}
  void on_header_impl(error_code&) {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) {}
  std::size_t on_body_impl(BeastText body, error_code&) { return body.size(); }
  void on_chunk_header_impl(std::uint64_t, BeastText, error_code&) {}
  std::size_t on_chunk_body_impl(std::uint64_t, BeastText body, error_code&) { return body.size(); }
  void on_finish_impl(error_code&) {}

  std::string_view targetSent_;
  std::string ownedTarget_;
  bool ownsTarget_ = false;
};

HttpSession::HttpSession() = default;
HttpSession::~HttpSession() = default;

HttpSession::Pending HttpSession::pending() const {
  if (frames_ || closing_)
    return Pending::Nothing;
  if (parser_)
    return Pending::Body;
  return pending_ ? Pending::Head : Pending::Nothing;
}

HttpSession::Next HttpSession::receive(std::string_view data, std::string& output) {
  if (closing_)
    return Next::Close;
  const bool usePending = pending_ != nullptr;
  if (usePending)
    pending_->append(data);
  std::string_view input = usePending ? std::string_view(*pending_) : data;
  const std::size_t received = input.size();

  const Next next = consume(input, output);
  // What is left is always the tail of what came in.
  if (next == Next::Read && input.size() <= MAX_PENDING_INPUT) {
    if (input.empty())
      pending_.reset();
    else if (usePending)
      pending_->erase(0, received - input.size());
    else
      pending_ = std::make_unique<std::string>(input);
    return Next::Read;
  }
  closing_ = true;
  pending_.reset();
  return Next::Close;
}

HttpSession::Next HttpSession::consume(std::string_view& input, std::string& output) {
  while (!input.empty()) {
    const Step step = frames_ ? consumeFrames(input, output) : consumeRequest(input, output);
    if (step != Step::Continue)
      return step == Step::Close ? Next::Close : Next::Read;
  }
  return Next::Read;
}

HttpSession::Step HttpSession::consumeFrames(std::string_view& input, std::string& output) {
  frames_->receive(input, output);
  input = {};
  // After a close frame, sent in reply or for a broken frame, the server closes the TCP
  // connection first, as the WebSocket protocol asks.
  return frames_->closed() ? Step::Close : Step::Read;
}

HttpSession::Step HttpSession::consumeRequest(std::string_view& input, std::string& output) {
  if (parser_) { // a request whose body began in an earlier read
    if (const Step step = consumeBody(input, *parser_); step != Step::Continue)
      return step;
    const std::unique_ptr<RequestParser> request = std::move(parser_);
    return finishRequest(*request, output);
  }
  skipEmptyLines(input);
  if (input.empty() || input == "\r")
    return Step::Read;
  // `input` starts where this head starts until the head is complete; the scan resumes where
  // it stopped, so that a trickled head is not read again from its start on every byte.
  const HeadScan scan = headScanner_.scan(input);
  if (scan.result == HeadScan::Rejected)
    return Step::Close;
  if (scan.result == HeadScan::Incomplete)
    return Step::Read;
  headScanner_.reset();
  // A request that arrives whole, as most do, is read and answered with its parser here and
  // its target seen where it was received; only one whose body goes on in a later read keeps
  // its parser, and a copy of its target, on the heap.
  RequestParser request;
  if (!parseHead(request, input.substr(0, scan.length), scan.bareLineFeeds))
    return Step::Close;
  input.remove_prefix(scan.length);
  const Step step = consumeBody(input, request);
  if (step == Step::Read) {
    parser_ = std::make_unique<RequestParser>(std::move(request));
    parser_->keepTarget();
  }
  if (step != Step::Continue)
    return step;
  return finishRequest(request, output);
}

// Empty lines before a request line are ignored, as HTTP asks of servers: some clients end a
// body with an extra CR LF. A lone CR may be the start of one.
void HttpSession::skipEmptyLines(std::string_view& input) {
  while (input.starts_with("\r\n") || input.starts_with('\n'))
    input.remove_prefix(input[0] == '\n' ? 1 : 2);
}

bool HttpSession::parseHead(RequestParser& request, std::string_view head, bool bareLineFeeds) {
  std::string normalised;
  if (bareLineFeeds) {
    normalised = withCrLfLineEnds(head);
    head = normalised;
  }
  error_code error;
  const std::size_t used = request.put(boost::asio::buffer(head.data(), head.size()), error);
  if (bareLineFeeds)
    request.keepTarget(); // the rewritten head is gone after this
  return !error && used == head.size() && request.is_header_done();
}

// The body, if the request has one, is read and dropped.
HttpSession::Step HttpSession::consumeBody(std::string_view& input, RequestParser& request) {
  while (!request.is_done() && !input.empty()) {
    error_code error;
    const std::size_t used = request.put(boost::asio::buffer(input.data(), input.size()), error);
    input.remove_prefix(used);
    if (error == http::error::need_more)
      break;
    if (error)
      return Step::Close;
    if (used == 0)
      break;
  }
  return request.is_done() ? Step::Continue : Step::Read;
}

HttpSession::Step HttpSession::finishRequest(const RequestParser& request, std::string& output) {
  ++requests_;
  served_ = true;
  if (request.hasWebSocketKey) {
    output += webSocketHandshake(request.webSocketKey);
    frames_ = std::make_unique<WebSocketFrameReader>();
    return Step::Continue;
  }
  const HttpRequest routed{request.target(), request.isHead,
                           request.isOptions && request.hasRequestMethod, request.requestedHeaders};
  return handleHttpEvent(routed, output) == AfterRequest::Close ? Step::Close : Step::Continue;
}

} // namespace rest
