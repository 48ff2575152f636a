#include "rest/connection_registry.h"

#include "platform/socket_io.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <limits>

namespace rest {
namespace {

using Clock = std::chrono::steady_clock;

// Descriptors kept from connections: standard streams, the event loop's own, the listener,
// the lock, and what the reader library and the simulator's control channel open.
constexpr std::size_t RESERVED_DESCRIPTORS = 32;
// Connections open at once after which the memory they took is given back once all have
// closed: fewer hold too little to be worth the work, which costs system calls.
constexpr std::size_t BURST = 256;

std::size_t capacityFor(std::size_t descriptorLimit) {
  if (descriptorLimit == 0)
    return std::numeric_limits<std::size_t>::max();
  return descriptorLimit - std::min(RESERVED_DESCRIPTORS, descriptorLimit / 4);
}

} // namespace

ConnectionRegistry::ConnectionRegistry(boost::asio::io_context& context,
                                       std::size_t descriptorLimit,
                                       const StallTimeouts& timeouts)
    : capacity_(capacityFor(descriptorLimit)), timeouts_(timeouts), sweepTimer_(context) {}

void ConnectionRegistry::opened(TrackedConnection& connection) {
  if (connection.activity_ != Activity::New)
    return;
  peak_ = std::max(peak_, ++open_);
  connection.activity_ = Activity::Idle;
  idle_.push_back(connection);
}

void ConnectionRegistry::idle(TrackedConnection& connection) {
  file(connection, Activity::Idle, idle_);
}

void ConnectionRegistry::inRequest(TrackedConnection& connection, bool restarted) {
  if (connection.activity_ == Activity::Request && !restarted)
    return; // still the same wait
  connection.since_ = Clock::now();
  file(connection, Activity::Request, requests_);
  startSweep();
}

void ConnectionRegistry::writing(TrackedConnection& connection, bool progressed) {
  if (connection.activity_ == Activity::Writing && !progressed)
    return;
  connection.since_ = Clock::now();
  file(connection, Activity::Writing, writes_);
  startSweep();
}

void ConnectionRegistry::closing(TrackedConnection& connection) {
  if (connection.activity_ == Activity::Closed || connection.activity_ == Activity::New)
    return;
  connection.unlink();
  connection.activity_ = Activity::Closing;
  idle_.push_front(connection);
}

void ConnectionRegistry::closed(TrackedConnection& connection) {
  if (connection.activity_ == Activity::Closed)
    return;
  if (connection.activity_ != Activity::New)
    --open_;
  connection.unlink();
  connection.activity_ = Activity::Closed;
  if (open_ == 0 && peak_ >= BURST) {
    peak_ = 0;
    // Posted: the connection closing now is still being torn down.
    boost::asio::post(sweepTimer_.get_executor(), [executor = sweepTimer_.get_executor()] {
      platform::releaseClosedSocketsMemory(boost::asio::query(
          executor, boost::asio::execution::context));
    });
  }
}

// Moves the connection to the end of `list`: the lists stay in the order of their waits.
void ConnectionRegistry::file(TrackedConnection& connection, Activity activity, List& list) {
  if (connection.activity_ == Activity::Closed || connection.activity_ == Activity::New ||
      connection.activity_ == Activity::Closing)
    return;
  connection.unlink();
  connection.activity_ = activity;
  list.push_back(connection);
}

bool ConnectionRegistry::shedOne() {
  for (List* list : {&idle_, &requests_, &writes_}) {
    if (!list->empty()) {
      shed(list->front());
      return true;
    }
  }
  return false;
}

void ConnectionRegistry::shed(TrackedConnection& connection) {
  closed(connection);
  connection.shed();
}

void ConnectionRegistry::startSweep() {
  if (sweeping_)
    return;
  sweeping_ = true;
  sweepTimer_.expires_after(timeouts_.sweep);
  sweepTimer_.async_wait([this](const boost::system::error_code& error) {
    sweeping_ = false;
    if (!error)
      sweep();
  });
}

void ConnectionRegistry::sweep() {
  const auto now = Clock::now();
  while (!requests_.empty() && now - requests_.front().since_ >= timeouts_.head)
    shed(requests_.front());
  while (!writes_.empty() && now - writes_.front().since_ >= timeouts_.write)
    shed(writes_.front());
  // Nothing in either list: the timer stays off until something may stall again.
  if (!requests_.empty() || !writes_.empty())
    startSweep();
}

} // namespace rest
