// One connection's protocol, without the socket: the bytes a client sends go in, the bytes of
// every reply come out, in order. HTTP requests are read one after another (pipelined ones
// too), each the one way: its head found and checked as it arrives (RequestHeadScanner), then
// read whole by a fresh parser, which also reads and drops its body; each complete request
// goes to the router, or, when it carries "Sec-WebSocket-Key", turns the connection into a
// WebSocket for good.
//
// The connection is to be closed (after what was already written is sent) when a head is
// rejected or too long, a request cannot be parsed, no route matches, or a WebSocket close frame
// has been sent. No request closes it otherwise, also not HTTP/1.0 or "Connection: close": the
// client does, or the listener when the connection stalls or descriptors run short
// (connection_registry.h).
//
// Event-loop thread; one per connection.
#pragma once

#include "rest/request_head.h"
#include "rest/websocket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rest {

class RequestParser;

// Bytes of an unfinished request kept between reads: beyond the head limit only a chunked
// body's framing stays pending, which never needs this much.
inline constexpr std::size_t MAX_PENDING_INPUT = 64 * 1024;

class HttpSession {
 public:
  enum class Next { Read, Close };

  HttpSession();
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Takes the next bytes from the client and appends the replies they complete to `output`.
  // Close: write out `output`, then close; later bytes are ignored.
  Next receive(std::string_view data, std::string& output);

  bool isWebSocket() const { return frames_ != nullptr; }

  // What of a request has arrived but not yet been answered: nothing, part of a head, or a
  // head and part of its body. WebSocket frames never count: an idle WebSocket is normal.
  enum class Pending { Nothing, Head, Body };
  Pending pending() const;
  // Requests completed so far (answered, or turned into a WebSocket), modulo 2^32: told apart
  // from one read to the next, which no connection wraps.
  std::uint32_t requests() const { return requests_; }
  // True once a request has been completed.
  bool served() const { return served_; }

 private:
  // What a step of consume() leaves to do: go on with the rest of the input, or stop there and
  // read more, or close.
  enum class Step { Continue, Read, Close };

  // Consumes `input` up to what a later read must complete, as steps: frames once the
  // connection is a WebSocket; otherwise a request's head, its body, and then the request
  // itself.
  Next consume(std::string_view& input, std::string& output);
  Step consumeFrames(std::string_view& input, std::string& output);
  Step consumeRequest(std::string_view& input, std::string& output);
  static void skipEmptyLines(std::string_view& input);
  // Starts the request's parser on its complete head; false when the head cannot be parsed.
  static bool parseHead(RequestParser& request, std::string_view head, bool bareLineFeeds);
  static Step consumeBody(std::string_view& input, RequestParser& request);
  // Routes the request whose parser is done, or answers its WebSocket handshake.
  Step finishRequest(const RequestParser& request, std::string& output);

  // Kept small: an idle keep-alive connection holds one of these and nothing else.
  // Received bytes not yet consumed, only while there are any: an idle connection keeps none.
  std::unique_ptr<std::string> pending_;
  std::unique_ptr<RequestParser> parser_;        // a request whose body goes on in a later read
  std::unique_ptr<WebSocketFrameReader> frames_; // after a WebSocket handshake
  RequestHeadScanner headScanner_;               // the head being received, until it is complete
  std::uint32_t requests_ = 0;
  bool served_ = false;
  bool closing_ = false;
};

} // namespace rest
