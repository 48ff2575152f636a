// A raw TCP client on 127.0.0.1 for the end-to-end tests: sends bytes as they are and reads
// back exactly what the service wrote, with time-outs so no test can hang.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace e2e {

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connect(unsigned short port);
  bool send(std::string_view bytes);
  // Reads until `count` bytes have arrived, the peer closed, or `timeout` passed.
  std::string read(std::size_t count, std::chrono::milliseconds timeout);
  // Reads until `terminator` has arrived (included), the peer closed, or `timeout` passed.
  std::string readUntil(std::string_view terminator, std::chrono::milliseconds timeout);
  // Reads whatever arrives within `timeout`, stopping early when the peer closes.
  std::string readFor(std::chrono::milliseconds timeout);
  // True once the peer has closed its side (an end of stream or a reset was read).
  bool peerClosed() const { return peerClosed_; }
  void shutdownSending();
  void close();

 private:
  // One read of what is available within `timeout`; appends to `into`.
  bool readSome(std::string& into, std::chrono::milliseconds timeout);

  int fd_ = -1;
  bool peerClosed_ = false;
};

// One request on a fresh connection; returns the whole reply (head and chunked body).
std::string httpGet(std::string_view target);
// The body carried by a whole chunked reply as this service frames it ("" if malformed).
std::string chunkedBody(const std::string& reply);

} // namespace e2e
