#include "rest/listener.h"

#include "platform/platform.h"
#include "rest/connection.h"

#include <boost/asio/post.hpp>

#include <chrono>

namespace rest {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(50);
// Accepts in a row before the connections get their turn.
constexpr int ACCEPTS_PER_TURN = 16;

bool isResourceShortage(const error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory || error.value() == ENFILE;
}

} // namespace

std::shared_ptr<Listener> Listener::start(asio::io_context& context, std::uint16_t port,
                                          std::size_t descriptorLimit,
                                          const StallTimeouts& timeouts) {
  platform::Acceptor acceptor(context);
  error_code error;
  acceptor.open(tcp::v4(), error);
  if (error || !platform::prepareExclusiveListener(acceptor.native_handle()))
    return nullptr;
  platform::prepareAcceptor(acceptor, error);
  if (error)
    return nullptr;
  acceptor.bind({asio::ip::address_v4::any(), port}, error);
  if (!error)
    acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error)
    return nullptr;
  auto listener =
      std::make_shared<Listener>(context, std::move(acceptor), descriptorLimit, timeouts);
  listener->onReadable({});
  return listener;
}

Listener::Listener(asio::io_context& context, platform::Acceptor acceptor,
                   std::size_t descriptorLimit, const StallTimeouts& timeouts)
    : acceptor_(std::move(acceptor)), connections_(context, descriptorLimit, timeouts),
      retryTimer_(context) {}

void Listener::doAccept() { platform::whenReadable(acceptor_, *this); }

void Listener::onReadable(const error_code& error) {
  if (error == asio::error::operation_aborted)
    return;
  for (int turn = 0; turn < ACCEPTS_PER_TURN; ++turn) {
    platform::Socket socket(acceptor_.get_executor());
    error_code acceptError;
    platform::acceptConnection(acceptor_, socket, acceptError);
    if (acceptError == asio::error::would_block) {
      doAccept();
      return;
    }
    if (!acceptError) {
      // Near the limit, an old connection makes room, before the accept fails for want of one.
      if (connections_.full())
        connections_.shedOne();
      std::make_shared<Connection>(std::move(socket), connections_)->run();
    } else if (isResourceShortage(acceptError)) {
      // What one connection gave back is what the next accept needs.
      if (connections_.shedOne())
        continue;
      retryTimer_.expires_after(ACCEPT_RETRY_DELAY);
      retryTimer_.async_wait(
          [self = shared_from_this()](const error_code&) { self->onReadable({}); });
      return;
    }
    // Any other failure concerns only the connection that was being accepted.
  }
  // The connections accepted get their turn before the next clients.
  asio::post(acceptor_.get_executor(), [self = shared_from_this()] { self->onReadable({}); });
}

} // namespace rest
