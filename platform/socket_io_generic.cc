// Every platform but Linux: plain Asio (IOCP or select on Windows), which needs no more.
// IOCP cannot wait for a listening socket to become readable (its wait is a zero-byte receive,
// which a listening socket refuses): there the wait accepts, and the connection it accepted is
// the next one acceptConnection gives.
#include "platform/socket_io.h"

#include <map>

namespace platform {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Connections accepted by a wait and not yet taken, one at most per acceptor.
std::map<const Acceptor*, Socket>& acceptedByWait() {
  static std::map<const Acceptor*, Socket> accepted;
  return accepted;
}

} // namespace

// On Windows the reactor behind async_wait runs a thread of its own, which hands completions to
// the event loop's thread: the io_context must lock.
const int EVENT_LOOP_CONCURRENCY_HINT = 1;

void releaseClosedSocketsMemory(asio::execution_context&) {}

void prepareAcceptor(Acceptor& acceptor, error_code& error) {
  acceptor.non_blocking(true, error);
}

void acceptConnection(Acceptor& acceptor, Socket& peer, error_code& error) {
  if (auto waiting = acceptedByWait().find(&acceptor); waiting != acceptedByWait().end()) {
    peer = std::move(waiting->second);
    acceptedByWait().erase(waiting);
  } else {
    acceptor.accept(peer, error);
  }
  if (!error)
    peer.non_blocking(true, error);
  if (!error)
    peer.set_option(tcp::no_delay(true), error);
  if (error) {
    error_code ignored;
    peer.close(ignored);
  }
}

// Asio's handlers keep what a wait needs.
struct ReadableListener::WaitRecord {};

void ReadableListener::WaitRecordDeleter::operator()(WaitRecord* record) const { delete record; }

void whenReadable(Socket& socket, ReadableListener& listener) {
  socket.async_wait(Socket::wait_read,
                    [listener = listener.keepAlive()](const error_code& error) {
                      listener->onReadable(error);
                    });
}

void whenReadable(Acceptor& acceptor, ReadableListener& listener) {
  // The listener keeps the acceptor alive until the handler has run.
  auto peer = std::make_shared<Socket>(acceptor.get_executor());
  acceptor.async_accept(*peer, [&acceptor, peer, listener = listener.keepAlive()](
                                   const error_code& error) {
    if (!error)
      acceptedByWait().insert_or_assign(&acceptor, std::move(*peer));
    listener->onReadable(error);
  });
}

} // namespace platform
