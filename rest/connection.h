// One accepted TCP connection: reads what the client sends, lets its HttpSession produce the
// replies, and writes them back in order, with Asio's asynchronous operations (`run → doRead →
// waitToRead → onReadable or onReceived → writeOutput → doWrite`). Only one batch of replies is
// in flight: while it is being written nothing more is read, so a client that sends without
// reading holds no more than one batch of memory.
//
// How it waits for the next request depends on whether the client has come back. Until its
// second request a connection waits for the socket to become readable and then reads without
// blocking into one buffer all connections share, so that a connection that asks once and then
// stays open, as a browser's spare ones do, holds no buffer. From its second request on it
// keeps a read buffer of its own and waits by reading into it: Asio tries the read at once and
// otherwise leaves the socket as it is armed, where every wait would re-arm it with an
// epoll_ctl, which costs a page that polls far more.
//
// Whenever it waits for the client it files itself with the registry (new, idle, in a request,
// or writing), which may close it: when it stalls, or to make room when descriptors run short.
//
// Event-loop thread only. The connection owns its socket; it keeps itself alive through the
// handler of its pending operation and is gone when none is pending. The registry must
// outlive it.
#pragma once

#include "rest/connection_registry.h"
#include "rest/http_session.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rest {

// Bound to the io_context itself rather than through Asio's type-erased executor, which would
// add 48 bytes to every connection.
using Socket =
    boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;

// Holds a browser's request head whole (they run to about a kilobyte), so that a returning
// client's request takes one read.
inline constexpr std::size_t OWN_READ_BUFFER_SIZE = 2048;

class Connection final : public std::enable_shared_from_this<Connection>, public TrackedConnection {
 public:
  // `socket`: accepted from a socket opened by openListeningSocket (listener.h).
  Connection(Socket socket, ConnectionRegistry& registry);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void run();

 private:
  // Reads what has arrived, a few reads at most before other connections get their turn.
  void doRead();
  // Waits for the client to send (more): the last read found nothing more.
  void waitToRead();
  // Takes the bytes a read has left in `data`; false when the connection stops reading (it
  // writes, lets go, or has failed).
  bool takeInput(std::string_view data);
  // Tells the registry what the connection waits for while it waits for the client to send.
  void fileWhileReading();
  void onReadable(const boost::system::error_code& error);
  void onReceived(const boost::system::error_code& error, std::size_t received);
  // Writes `output` (the shared reply buffer, or output_'s after a wait) from `sent` on
  // without waiting: true once all of it is written; otherwise what is left is in output_ and
  // a wait for the socket to take more is pending (or the connection failed).
  bool writeOutput(std::string& output, std::size_t& sent);
  // Finishes the output after a wait, then reads again (or closes).
  void doWrite();
  void onWritable(const boost::system::error_code& error);
  // After the last reply: send FIN, then read and drop what the client still sends until it
  // closes or LINGER_TIME passes, so that replies already sent are not lost to a reset.
  void doLingeringClose();
  void onLingerReadable(const boost::system::error_code& error);
  void shed() override;

  Socket socket_;
  ConnectionRegistry& registry_;
  std::uint32_t requestsFiled_ = 0; // the session's requests() when last filed
  bool closeWhenWritten_ = false;
  HttpSession session_;
  // Replies the socket did not take at once; none otherwise, and so nothing of them on every
  // connection, not even the count of bytes sent.
  struct PendingOutput {
    std::string bytes;
    std::size_t sent = 0;
  };
  std::unique_ptr<PendingOutput> output_;
  // Once the client has come back for a second request, what waitToRead reads into.
  std::unique_ptr<std::array<char, OWN_READ_BUFFER_SIZE>> ownReadBuffer_;
  std::unique_ptr<boost::asio::steady_timer> lingerTimer_; // only while letting go
};

} // namespace rest
