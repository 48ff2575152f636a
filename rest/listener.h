// The listening socket on every IPv4 interface: accepts connections for ever and gives each
// to a Connection, filed in the listener's registry. Short of descriptors, it closes the
// connections least missed (longest idle first) until the next client can be accepted, so
// that whatever one host holds open, a fresh client is served.
// Event-loop thread only; it keeps itself alive through its pending wait.
#pragma once

#include "platform/socket_io.h"
#include "rest/connection_registry.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace rest {

class Listener final : public std::enable_shared_from_this<Listener>,
                       public platform::ReadableListener {
 public:
  // Binds 0.0.0.0:`port` for this listener alone and starts accepting; null when the port
  // cannot be had. `descriptorLimit`: the process's limit on open descriptors, 0 for none.
  static std::shared_ptr<Listener> start(boost::asio::io_context& context, std::uint16_t port,
                                         std::size_t descriptorLimit,
                                         const StallTimeouts& timeouts = {});

  Listener(boost::asio::io_context& context, platform::Acceptor acceptor,
           std::size_t descriptorLimit, const StallTimeouts& timeouts);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

 private:
  // Waits for the next client; the last accept found none.
  void doAccept();
  // Accepts the clients waiting, a few at a time, and waits again.
  void onReadable(const boost::system::error_code& error) override;
  std::shared_ptr<ReadableListener> keepAlive() override { return shared_from_this(); }

  platform::Acceptor acceptor_;
  ConnectionRegistry connections_;
  // Out of descriptors with no connection to close, a failing accept would fail again at
  // once: it waits a moment instead.
  boost::asio::steady_timer retryTimer_;
};

} // namespace rest
