#include "platform/socket_io.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace platform {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// An accepted socket's listener: counts what it is told and, unless told of an error, runs
// `handler`.
struct Waiter final : ReadableListener, std::enable_shared_from_this<Waiter> {
  explicit Waiter(Socket accepted) : socket(std::move(accepted)) {}
  void onReadable(const error_code& error) override {
    ++told;
    lastError = error;
    if (handler && !error)
      handler(*this);
  }
  std::shared_ptr<ReadableListener> keepAlive() override { return shared_from_this(); }
  // Reads all there is, as whenReadable asks, then waits.
  void waitAgain() {
    char buffer[64];
    for (error_code error; !error;)
      socket.read_some(asio::buffer(buffer), error);
    whenReadable(socket, *this);
  }

  Socket socket;
  int told = 0;
  error_code lastError;
  std::function<void(Waiter&)> handler;
};

struct SocketIo : testing::Test {
  // A client connected to `context`'s new acceptor, and the waiter of the accepted end, waiting.
  std::shared_ptr<Waiter> connect(asio::io_context& context) {
    Acceptor acceptor(context, {asio::ip::address_v4::loopback(), 0});
    error_code error;
    prepareAcceptor(acceptor, error);
    client.connect(acceptor.local_endpoint());
    Socket accepted(context);
    acceptConnection(acceptor, accepted, error);
    EXPECT_FALSE(error);
    auto waiter = std::make_shared<Waiter>(std::move(accepted));
    waiter->waitAgain();
    return waiter;
  }
  // Runs the event loop until `done` holds, for `turns` times 10 ms at most.
  bool runUntil(const std::function<bool()>& done, int turns = 100) {
    for (int turn = 0; turn < turns && !done(); ++turn) {
      context.restart();
      context.run_for(std::chrono::milliseconds(10));
    }
    return done();
  }

  asio::io_context context{EVENT_LOOP_CONCURRENCY_HINT};
  asio::io_context clientContext;
  asio::ip::tcp::socket client{clientContext};
};

// Each wait is told once per arrival, whether started in its handler or from a later one.
TEST_F(SocketIo, EachWaitIsToldOncePerArrivalWhetherStartedInItsHandlerOrLater) {
  std::shared_ptr<Waiter> waiter = connect(context);
  waiter->handler = [](Waiter& self) { self.waitAgain(); };
  for (int arrival = 1; arrival <= 4; ++arrival) {
    if (arrival == 3)
      waiter->handler = [this](Waiter& self) {
        asio::post(context, [&self] { self.waitAgain(); });
      };
    asio::write(client, asio::buffer("a", 1));
    ASSERT_TRUE(runUntil([&] { return waiter->told == arrival; }));
  }
  EXPECT_FALSE(runUntil([&] { return waiter->told > 4; }, 10));
  EXPECT_FALSE(waiter->lastError);
}

// However a wait ends, its listener is let go: its socket closed by its handler (waiting again
// first or not) or while it waits, or the event loop gone while it waits.
TEST_F(SocketIo, EveryEndOfAWaitLetsTheListenerGo) {
  const std::function<void(Waiter&)> endings[] = {
      [](Waiter& self) { self.socket.close(); },
      [](Waiter& self) {
        self.waitAgain();
        self.socket.close();
      },
      nullptr, // closed while it waits
  };
  for (const auto& ending : endings) {
    std::shared_ptr<Waiter> waiter = connect(context);
    waiter->handler = ending;
    if (ending)
      asio::write(client, asio::buffer("a", 1));
    else
      asio::post(context, [waiter] { waiter->socket.close(); });
    const std::weak_ptr<Waiter> gone = std::exchange(waiter, nullptr);
    ASSERT_TRUE(runUntil([&] { return gone.expired(); }));
    client.close();
  }

  auto eventLoop = std::make_unique<asio::io_context>(EVENT_LOOP_CONCURRENCY_HINT);
  const std::weak_ptr<Waiter> gone = connect(*eventLoop);
  eventLoop.reset();
  EXPECT_TRUE(gone.expired());
}

// A client that never reads can make the kernel hold only so much for it: once the replies
// fill a socket's buffers they back up, however long the kernel has had to grow them.
TEST_F(SocketIo, RepliesToAClientThatNeverReadsBackUpSoon) {
  std::shared_ptr<Waiter> waiter = connect(context);
  const std::string reply(16 * 1024, 'r');
  std::size_t taken = 0;
  for (int round = 0; round < 20; ++round) {
    for (error_code error; !error;)
      taken += waiter->socket.write_some(asio::buffer(reply), error);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The send buffer and what the client's receive window lets through.
  EXPECT_LT(taken, 1024u * 1024u);
}

} // namespace
} // namespace platform
