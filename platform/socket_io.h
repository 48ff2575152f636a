// The sockets' part of the operating-system seam: accepting a connection and waiting for a
// socket to become readable with as few system calls as the platform allows.
// socket_io_epoll.cc serves Linux (Asio's epoll reactor), socket_io_generic.cc every other
// platform (plain Asio); CMake compiles exactly one.
//
// Event-loop thread only: the thread that runs the sockets' io_context.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>

namespace platform {

// The event loop's sockets, bound to its io_context itself rather than through Asio's
// type-erased executor: that would add 48 bytes to every connection, and a look-up to the
// operations that need the executor.
using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp,
                                                boost::asio::io_context::executor_type>;
using Acceptor = boost::asio::basic_socket_acceptor<boost::asio::ip::tcp,
                                                    boost::asio::io_context::executor_type>;

// The concurrency hint for the io_context of an event loop that runs on one thread and that no
// other thread touches in any way (no post, no close): where the platform allows, Asio then
// takes no locks at all.
extern const int EVENT_LOOP_CONCURRENCY_HINT;

// Prepares a listening socket for acceptConnection: it no longer blocks. On Linux the sockets it
// accepts also have a send buffer of fixed size, which bounds what a client that never reads can
// make the kernel hold for it.
void prepareAcceptor(Acceptor& acceptor, boost::system::error_code& error);

// Accepts one connection waiting on `acceptor` into `peer` (closed on entry), a socket that
// never blocks (reads and writes fail with would_block instead), sends without delay
// (TCP_NODELAY) and is not inherited by child processes. With no connection waiting:
// would_block.
void acceptConnection(Acceptor& acceptor, Socket& peer, boost::system::error_code& error);

// Told, on the event-loop thread, that what it waits for has come (or failed). It keeps the
// record of its wait from one wait to the next, so that waiting allocates nothing.
class ReadableListener {
 public:
  virtual void onReadable(const boost::system::error_code& error) = 0;
  // A reference to this listener, held while it waits.
  virtual std::shared_ptr<ReadableListener> keepAlive() = 0;

  // The platform's record of a wait, made at the first one.
  struct WaitRecord;
  struct WaitRecordDeleter {
    void operator()(WaitRecord* record) const;
  };

 protected:
  ReadableListener() = default;
  ~ReadableListener() = default;

 private:
  friend void whenReadable(Socket& socket, ReadableListener& listener);
  friend void whenReadable(Acceptor& acceptor, ReadableListener& listener);

  std::unique_ptr<WaitRecord, WaitRecordDeleter> waitRecord_;
};

// Calls listener.onReadable once `socket` (or `acceptor`) has something to read, or has failed
// or closed; with operation_aborted when it is closed first. The listener is kept alive until
// then (listener.keepAlive()), and must keep the acceptor alive. One wait at a time per
// listener, and one socket per listener. Precondition, which spares a read that could only
// find nothing: the caller's last read (or accept) on it found nothing left to take — it
// failed with would_block or took less than it asked for — and the event loop has not waited
// for events since. The io_context must be made with EVENT_LOOP_CONCURRENCY_HINT: onReadable
// may run inside the event loop's handling of the socket's events (where it may read, write,
// wait to write and close the socket).
void whenReadable(Socket& socket, ReadableListener& listener);
void whenReadable(Acceptor& acceptor, ReadableListener& listener);

// Gives back to the operating system what the event loop of `context` and the heap still keep
// of sockets that have closed, where the platform keeps any. Only from a handler posted after
// the sockets closed: by then the event loop has nothing left of them to look at.
void releaseClosedSocketsMemory(boost::asio::execution_context& context);

} // namespace platform
