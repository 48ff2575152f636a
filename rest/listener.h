// The listening socket on every IPv4 interface: accepts connections for ever and gives each
// to a Connection, filed in the listener's registry. Short of descriptors, it closes the
// connections least missed (connection_registry.h) until the next client can be accepted, and
// while none may be closed yet it leaves clients in the listen queue, so that whatever one
// host holds open, a fresh client is served.
// Event-loop thread only; it keeps itself alive through its pending accept or timer.
#pragma once

#include "rest/connection.h"
#include "rest/connection_registry.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace rest {

// Bound to the io_context itself rather than through Asio's type-erased executor, as its
// connections are: their sockets come from it.
using Acceptor = boost::asio::basic_socket_acceptor<boost::asio::ip::tcp,
                                                    boost::asio::io_context::executor_type>;

// Opens `acceptor` listening on `endpoint` for itself alone, its accepted sockets set as
// Connection needs them (see listener.cc).
void openListeningSocket(Acceptor& acceptor, const boost::asio::ip::tcp::endpoint& endpoint,
                         boost::system::error_code& error);

class Listener final : public std::enable_shared_from_this<Listener> {
 public:
  // Binds 0.0.0.0:`port` for this listener alone and starts accepting; null when the port
  // cannot be had. `descriptorLimit`: the process's limit on open descriptors, 0 for none.
  static std::shared_ptr<Listener> start(boost::asio::io_context& context, std::uint16_t port,
                                         std::size_t descriptorLimit,
                                         const StallTimeouts& timeouts = {});

  Listener(boost::asio::io_context& context, Acceptor acceptor, std::size_t descriptorLimit,
           const StallTimeouts& timeouts);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

 private:
  // Accepts the next client, or, when none may be made room for yet, waits until one may.
  void doAccept();
  void onAccept(const boost::system::error_code& error, Socket socket);
  void retryLater();

  Acceptor acceptor_;
  ConnectionRegistry connections_;
  // A client accepted when room had run out again while the accept waited (the connection
  // that could have been closed became busy): it waits here, unread, until there is room, so
  // that connections never take the descriptors kept in reserve. One at most, as nothing more
  // is accepted meanwhile.
  std::optional<Socket> held_;
  // Out of room with no connection to close, an accept would fail or take a descriptor kept in
  // reserve: it waits instead, until a grace ends or at most a moment.
  boost::asio::steady_timer retryTimer_;
};

} // namespace rest
