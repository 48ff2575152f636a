#include "simulator/control_channel.h"

#include "platform/platform.h"
#include "simulator/control_commands.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <charconv>
#include <cstdlib>
#include <istream>
#include <string>
#include <string_view>
#include <thread>

namespace simulator {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

constexpr std::size_t MAX_COMMAND_LINE = 4096;
// A port still held by an earlier run is tried again for a few seconds.
constexpr int BIND_ATTEMPTS = 20;
constexpr unsigned BIND_RETRY_MS = 150;

bool openListener(tcp::acceptor& acceptor, unsigned short port) {
  boost::system::error_code error;
  acceptor.open(tcp::v4(), error);
  if (error || !platform::prepareExclusiveListener(acceptor.native_handle()))
    return false;
  acceptor.bind({asio::ip::address_v4::loopback(), port}, error);
  if (!error)
    acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    acceptor.close(error);
    return false;
  }
  return true;
}

void serveClient(tcp::socket& client) {
  asio::streambuf input(MAX_COMMAND_LINE);
  boost::system::error_code error;
  for (;;) {
    asio::read_until(client, input, '\n', error);
    if (error)
      return;
    std::istream stream(&input);
    std::string line;
    std::getline(stream, line);
    const std::string reply = runControlCommand(line) + "\n";
    asio::write(client, asio::buffer(reply), error);
    if (error)
      return;
  }
}

void serveChannel(unsigned short port) {
  asio::io_context context;
  tcp::acceptor acceptor(context);
  bool listening = false;
  for (int attempt = 0; attempt < BIND_ATTEMPTS && !listening; ++attempt) {
    listening = openListener(acceptor, port);
    if (!listening)
      platform::sleepMilliseconds(BIND_RETRY_MS);
  }
  if (!listening)
    return;
  for (;;) {
    tcp::socket client(context);
    boost::system::error_code error;
    acceptor.accept(client, error);
    if (error) {
      platform::sleepMilliseconds(BIND_RETRY_MS);
      continue;
    }
    serveClient(client);
  }
}

} // namespace

bool startControlChannelFromEnvironment() {
  const char* value = std::getenv(CONTROL_ENVIRONMENT_VARIABLE);
  if (value == nullptr)
    return false;
  const std::string_view text(value);
  unsigned short port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc{} || end != text.data() + text.size() || port == 0)
    return false;
  // Detached and never stopped: the channel lives as long as the process.
  std::thread(serveChannel, port).detach();
  return true;
}

} // namespace simulator
