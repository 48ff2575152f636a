// Every platform but Linux: plain Asio (IOCP or select on Windows), which needs no more.
#include "platform/socket_io.h"

namespace platform {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

void releaseClosedSocketsMemory(asio::execution_context&) {}

void prepareAcceptor(tcp::acceptor& acceptor, error_code& error) {
  acceptor.non_blocking(true, error);
}

void acceptConnection(tcp::acceptor& acceptor, tcp::socket& peer, error_code& error) {
  acceptor.accept(peer, error);
  if (!error)
    peer.non_blocking(true, error);
  if (!error)
    peer.set_option(tcp::no_delay(true), error);
  if (error) {
    error_code ignored;
    peer.close(ignored);
  }
}

void whenReadable(tcp::socket& socket, std::shared_ptr<ReadableListener> listener) {
  socket.async_wait(tcp::socket::wait_read,
                    [listener = std::move(listener)](const error_code& error) {
                      listener->onReadable(error);
                    });
}

void whenReadable(tcp::acceptor& acceptor, std::shared_ptr<ReadableListener> listener) {
  acceptor.async_wait(tcp::acceptor::wait_read,
                      [listener = std::move(listener)](const error_code& error) {
                        listener->onReadable(error);
                      });
}

} // namespace platform
