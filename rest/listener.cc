#include "rest/listener.h"

#include "platform/platform.h"

#include <algorithm>
#include <chrono>

namespace rest {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(50);

bool isResourceShortage(const error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory || error.value() == ENFILE;
}

} // namespace

void openListeningSocket(Acceptor& acceptor, const tcp::endpoint& endpoint, error_code& error) {
  acceptor.open(endpoint.protocol(), error);
  if (!error && !platform::prepareExclusiveListener(acceptor.native_handle()))
    error = asio::error::address_in_use;
  // Accepted sockets take these from the listening one, each without a call of its own.
  // Replies are written whole as soon as they are ready: never held back for coalescing.
  if (!error)
    acceptor.set_option(tcp::no_delay(true), error);
  // A connection here carries one small request and one small reply (a few KiB at most) at a
  // time. So its send buffer is fixed (64 KiB, which Linux doubles), not grown by the kernel:
  // a client that never reads can make the kernel hold no more than this for it. Not needed
  // for anything to work, so where the system refuses it, its own default stays.
  if (!error) {
    error_code ignored;
    acceptor.set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
  }
  if (!error)
    acceptor.bind(endpoint, error);
  if (!error)
    acceptor.listen(asio::socket_base::max_listen_connections, error);
}

std::shared_ptr<Listener> Listener::start(asio::io_context& context, std::uint16_t port,
                                          std::size_t descriptorLimit,
                                          const StallTimeouts& timeouts) {
  Acceptor acceptor(context);
  error_code error;
  openListeningSocket(acceptor, {asio::ip::address_v4::any(), port}, error);
  if (error)
    return nullptr;
  auto listener =
      std::make_shared<Listener>(context, std::move(acceptor), descriptorLimit, timeouts);
  listener->doAccept();
  return listener;
}

Listener::Listener(asio::io_context& context, Acceptor acceptor, std::size_t descriptorLimit,
                   const StallTimeouts& timeouts)
    : acceptor_(std::move(acceptor)), connections_(context, descriptorLimit, timeouts),
      retryTimer_(context) {}

void Listener::doAccept() {
  // Full, a new connection makes room by closing another; with none that may be closed yet,
  // the next client waits in the listen queue, or here if it was accepted meanwhile.
  for (;;) {
    if (connections_.full() && !connections_.canShed()) {
      retryLater();
      return;
    }
    if (!held_)
      break;
    if (connections_.full())
      connections_.shedOne();
    std::make_shared<Connection>(std::move(*held_), connections_)->run();
    held_.reset();
  }
  acceptor_.async_accept([self = shared_from_this()](const error_code& error, Socket socket) {
    self->onAccept(error, std::move(socket));
  });
}

void Listener::onAccept(const error_code& error, Socket socket) {
  if (error == asio::error::operation_aborted)
    return;
  if (!error) {
    held_.emplace(std::move(socket)); // admitted by doAccept once there is room for it
  } else if (isResourceShortage(error) && !connections_.shedOne()) {
    retryLater();
    return;
  }
  // Any other failure concerns only the connection that was being accepted.
  doAccept();
}

void Listener::retryLater() {
  auto at = std::chrono::steady_clock::now() + ACCEPT_RETRY_DELAY;
  if (const auto next = connections_.nextToShed())
    at = std::min(at, *next);
  retryTimer_.expires_at(at);
  retryTimer_.async_wait([self = shared_from_this()](const error_code& error) {
    if (!error)
      self->doAccept();
  });
}

} // namespace rest
