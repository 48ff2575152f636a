#include "e2e/tcp_client.h"

#include "e2e/service_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline) {
  const auto remaining =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return remaining.count() > 0 ? remaining : std::chrono::milliseconds(0);
}

} // namespace

TcpClient::~TcpClient() { close(); }

bool TcpClient::connect(unsigned short port) {
  close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  peerClosed_ = false;
  return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool TcpClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0)
      return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool TcpClient::readSome(std::string& into, std::chrono::milliseconds timeout) {
  if (fd_ < 0 || peerClosed_)
    return false;
  pollfd descriptor{fd_, POLLIN, 0};
  if (poll(&descriptor, 1, static_cast<int>(timeout.count())) <= 0)
    return false;
  char buffer[16384];
  const ssize_t received = recv(fd_, buffer, sizeof buffer, 0);
  if (received <= 0) {
    peerClosed_ = true;
    return false;
  }
  into.append(buffer, static_cast<std::size_t>(received));
  return true;
}

std::string TcpClient::read(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string data;
  while (data.size() < count && !peerClosed_ && left(deadline).count() > 0)
    readSome(data, left(deadline));
  return data;
}

std::string TcpClient::readUntil(std::string_view terminator, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string data;
  while (data.find(terminator) == std::string::npos && !peerClosed_ && left(deadline).count() > 0)
    readSome(data, left(deadline));
  return data;
}

std::string TcpClient::readFor(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string data;
  while (!peerClosed_ && left(deadline).count() > 0)
    readSome(data, left(deadline));
  return data;
}

void TcpClient::shutdownSending() {
  if (fd_ >= 0)
    shutdown(fd_, SHUT_WR);
}

void TcpClient::close() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

std::string httpGet(std::string_view target) {
  TcpClient client;
  if (!client.connect(SERVICE_PORT))
    return "(no connection)";
  client.send("GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  return client.readUntil("\r\n0\r\n\r\n", scaled(std::chrono::milliseconds(3000)));
}

std::string chunkedBody(const std::string& reply) {
  const std::size_t head = reply.find("\r\n\r\n");
  if (head == std::string::npos)
    return "";
  const std::size_t sizeEnd = reply.find("\r\n", head + 4);
  if (sizeEnd == std::string::npos)
    return "";
  const std::size_t size = std::stoul(reply.substr(head + 4, sizeEnd - head - 4), nullptr, 16);
  return reply.substr(sizeEnd + 2, size);
}

} // namespace e2e
