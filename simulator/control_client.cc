#include "simulator/control_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <thread>

namespace simulator {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// One attempt: connect within `deadline`, then send and read the reply line within `deadline`
// plus `replyWait`.
std::optional<std::string> exchangeOnce(unsigned short port, const std::string& line,
                                        Clock::time_point deadline,
                                        std::chrono::milliseconds replyWait) {
  asio::io_context context;
  tcp::socket socket(context);
  std::string reply;
  bool answered = false;
  const tcp::endpoint channel(asio::ip::address_v4::loopback(), port);

  socket.async_connect(channel, [&](boost::system::error_code error) {
    if (error)
      return;
    deadline += replyWait;
    asio::async_write(socket, asio::buffer(line),
                      [&](boost::system::error_code error, std::size_t) {
                        if (error)
                          return;
                        asio::async_read_until(socket, asio::dynamic_buffer(reply), '\n',
                                               [&](boost::system::error_code error,
                                                   std::size_t length) {
                                                 if (error)
                                                   return;
                                                 reply.resize(length - 1);
                                                 answered = true;
                                               });
                      });
  });
  while (!answered && context.run_one_until(deadline) != 0) {
  }
  if (!answered)
    return std::nullopt;
  if (!reply.empty() && reply.back() == '\r')
    reply.pop_back();
  return reply;
}

} // namespace

std::optional<std::string> sendControlCommand(unsigned short port, std::string_view command,
                                              std::chrono::milliseconds timeout,
                                              std::chrono::milliseconds replyWait) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::string line = std::string(command) + "\n";
  for (;;) {
    if (auto reply = exchangeOnce(port, line, deadline, replyWait))
      return reply;
    if (Clock::now() + std::chrono::milliseconds(50) >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

} // namespace simulator
