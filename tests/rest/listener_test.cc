#include "rest/listener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace rest {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;

// A client that never reads can make the kernel hold only so much for it: once the replies
// fill a socket's buffers they back up, however long the kernel has had to grow them.
TEST(ListeningSocket, RepliesToAClientThatNeverReadsBackUpSoon) {
  asio::io_context context(1);
  Acceptor acceptor(context);
  error_code error;
  openListeningSocket(acceptor, {asio::ip::address_v4::loopback(), 0}, error);
  ASSERT_FALSE(error);
  asio::ip::tcp::socket client(context);
  client.connect(acceptor.local_endpoint());
  Socket accepted = acceptor.accept();
  accepted.non_blocking(true);
  const std::string reply(16 * 1024, 'r');
  std::size_t taken = 0;
  for (int round = 0; round < 20; ++round) {
    for (error = {}; !error;)
      taken += accepted.write_some(asio::buffer(reply), error);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The send buffer and what the client's receive window lets through.
  EXPECT_LT(taken, 1024u * 1024u);
}

} // namespace
} // namespace rest
