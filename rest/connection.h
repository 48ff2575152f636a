// One accepted TCP connection: reads what the client sends, lets its HttpSession produce the
// replies, and writes them back in order. Only one batch of replies is in flight: while it is
// being written nothing more is read, so a client that sends without reading holds no more
// than one batch of memory.
//
// Whenever it waits for the client it files itself with the registry (idle, in a request, or
// writing), which may close it: when it stalls, or to make room when descriptors run short.
//
// Event-loop thread only. The connection owns its socket; it keeps itself alive through the
// handler of its pending operation and is gone when none is pending. The registry must
// outlive it.
#pragma once

#include "rest/connection_registry.h"
#include "rest/http_session.h"
#include "platform/socket_io.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>
#include <string>

namespace rest {

class Connection final : public std::enable_shared_from_this<Connection>,
                         public TrackedConnection,
                         public platform::ReadableListener {
 public:
  // `socket`: from platform::acceptConnection, so that it never blocks.
  Connection(platform::Socket socket, ConnectionRegistry& registry);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void run();

 private:
  void doRead();
  // Waits for the client to send (more): no read was made yet, or the last found nothing more.
  void waitToRead();
  // Tells the registry what the connection waits for while it waits for the client to send.
  void fileWhileReading();
  void onReadable(const boost::system::error_code& error) override;
  std::shared_ptr<ReadableListener> keepAlive() override { return shared_from_this(); }
  // Writes `output` (the shared reply buffer, or output_ after a wait) from outputSent_ on
  // without waiting: true once all of it is written; otherwise what is left is in output_ and
  // a wait for the socket to take more is pending (or the connection failed).
  bool writeOutput(std::string& output);
  // Finishes the output after a wait, then reads again (or closes).
  void doWrite();
  void onWritable(const boost::system::error_code& error);
  // After the last reply: send FIN, then read and drop what the client still sends until it
  // closes or LINGER_TIME passes, so that replies already sent are not lost to a reset.
  void doLingeringClose();
  void onLingerReadable(const boost::system::error_code& error);
  void shed() override;

  platform::Socket socket_;
  ConnectionRegistry& registry_;
  std::size_t requestsFiled_ = 0; // the session's requests() when last filed
  HttpSession session_;
  // Replies the socket did not take at once; none otherwise, and so no string on every
  // connection.
  std::unique_ptr<std::string> output_;
  std::size_t outputSent_ = 0;
  bool closeWhenWritten_ = false;
  std::unique_ptr<boost::asio::steady_timer> lingerTimer_; // only while letting go
};

} // namespace rest
