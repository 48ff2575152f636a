#include "simulator/control_channel.h"

#include "platform/platform.h"
#include "simulator/control_commands.h"
#include "simulator/simulated_reader.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace simulator {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A line longer than this closes its client.
constexpr std::size_t MAX_COMMAND_LINE = 4096;
// Clients at once; one more pushes out the one idle the longest.
constexpr std::size_t MAX_CLIENTS = 32;
// A reply its client has not taken in this time (it sends without reading) closes the client.
constexpr auto WRITE_TIMEOUT = std::chrono::seconds(5);
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

// One client: its command lines are carried out in order, one at a time, each reply written
// before the next line is read. A press with wait= holds only this client's next line back.
class ControlSession : public std::enable_shared_from_this<ControlSession> {
 public:
  explicit ControlSession(tcp::socket socket)
      : socket_(std::move(socket)), timer_(socket_.get_executor()) {}

  void run() { doRead(); }

  // Ends the connection; the pending operations then end with an error and release the session.
  void close() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
  }
  // Waiting for its next line, with no command in progress.
  bool idle() const { return reading_; }
  Clock::time_point lastActive() const { return lastActive_; }

 private:
  void doRead() {
    reading_ = true;
    asio::async_read_until(socket_, asio::dynamic_buffer(input_, MAX_COMMAND_LINE), '\n',
                           [self = shared_from_this()](boost::system::error_code error,
                                                       std::size_t length) {
                             self->onRead(error, length);
                           });
  }

  void onRead(boost::system::error_code error, std::size_t length) {
    reading_ = false;
    lastActive_ = Clock::now();
    if (error) { // closed by the client, or a line beyond MAX_COMMAND_LINE
      close();
      return;
    }
    const std::string line = input_.substr(0, length);
    input_.erase(0, length);

    // The outcome of a waited press arrives on the thread that settled it; it is handed over
    // to the channel's thread, where everything else of this session happens.
    auto executor = socket_.get_executor();
    std::weak_ptr<ControlSession> weak = weak_from_this();
    CommandStart start =
        SimulatedReader::instance().startCommand(line, [executor, weak](PressOutcome outcome) {
          asio::post(executor, [weak, outcome] {
            if (auto self = weak.lock())
              self->onSettled(outcome);
          });
        });
    if (!start.wait) {
      doWrite(std::move(start.reply));
      return;
    }
    waitingFor_ = start.wait->id;
    timer_.expires_after(start.wait->limit);
    timer_.async_wait([self = shared_from_this()](boost::system::error_code error) {
      if (!error)
        self->onWaitExpired();
    });
  }

  void onSettled(PressOutcome outcome) {
    if (!waitingFor_)
      return;
    waitingFor_.reset();
    timer_.cancel();
    doWrite(pressOutcomeReply(outcome));
  }

  void onWaitExpired() {
    if (!waitingFor_)
      return;
    // Nothing when the outcome is already on its way to onSettled.
    if (const auto outcome = SimulatedReader::instance().expirePress(*waitingFor_)) {
      waitingFor_.reset();
      doWrite(pressOutcomeReply(*outcome));
    }
  }

  void doWrite(std::string reply) {
    output_ = std::move(reply) + "\n";
    timer_.expires_after(WRITE_TIMEOUT);
    timer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
      if (auto self = weak.lock(); self && !error)
        self->close(); // the client does not read its replies
    });
    asio::async_write(socket_, asio::buffer(output_),
                      [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                        self->onWrite(error);
                      });
  }

  void onWrite(boost::system::error_code error) {
    timer_.cancel();
    if (error) {
      close();
      return;
    }
    lastActive_ = Clock::now();
    doRead();
  }

  tcp::socket socket_;
  asio::steady_timer timer_; // the wait for a press, then the deadline of its reply's write
  std::string input_;
  std::string output_;
  std::optional<std::uint64_t> waitingFor_;
  bool reading_ = false;
  Clock::time_point lastActive_ = Clock::now();
};

class ControlChannel {
 public:
  explicit ControlChannel(asio::io_context& context) : acceptor_(context) {}

  bool listen(unsigned short port) {
    for (int attempt = 0; attempt < BIND_ATTEMPTS; ++attempt) {
      if (openListener(acceptor_, port))
        return true;
      platform::sleepMilliseconds(BIND_RETRY_MS);
    }
    return false;
  }

  void doAccept() {
    acceptor_.async_accept([this](boost::system::error_code error, tcp::socket socket) {
      if (error) {
        // Out of descriptors, most likely: try again a moment later.
        platform::sleepMilliseconds(BIND_RETRY_MS);
      } else {
        makeRoom();
        auto session = std::make_shared<ControlSession>(std::move(socket));
        sessions_.push_back(session);
        session->run();
      }
      doAccept();
    });
  }

 private:
  // Keeps the number of clients below MAX_CLIENTS by closing the one idle the longest.
  void makeRoom() {
    sessions_.remove_if([](const std::weak_ptr<ControlSession>& s) { return s.expired(); });
    if (sessions_.size() < MAX_CLIENTS)
      return;
    std::shared_ptr<ControlSession> oldest;
    for (const auto& weak : sessions_) {
      auto session = weak.lock();
      if (session && session->idle() && (!oldest || session->lastActive() < oldest->lastActive()))
        oldest = session;
    }
    if (oldest)
      oldest->close();
  }

  tcp::acceptor acceptor_;
  std::list<std::weak_ptr<ControlSession>> sessions_;
};

void serveChannel(unsigned short port) {
  asio::io_context context(1);
  ControlChannel channel(context);
  if (!channel.listen(port))
    return;
  channel.doAccept();
  context.run();
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
  // Named: the reader is attached, whether or not the port can be had.
  SimulatedReader::instance().attachForControl();
  // Detached and never stopped: the channel lives as long as the process.
  std::thread(serveChannel, port).detach();
  return true;
}

} // namespace simulator
