#include "rest/connection_registry.h"

#include <algorithm>
#include <limits>

namespace rest {
namespace {

// Descriptors kept from connections: standard streams, the event loop's own, the listener,
// the lock, and what the reader library and the simulator's control channel open.
constexpr std::size_t RESERVED_DESCRIPTORS = 32;

std::size_t capacityFor(std::size_t descriptorLimit) {
  if (descriptorLimit == 0)
    return std::numeric_limits<std::size_t>::max();
  return descriptorLimit - std::min(RESERVED_DESCRIPTORS, descriptorLimit / 4);
}

} // namespace

ConnectionRegistry::ConnectionRegistry(boost::asio::io_context& context,
                                       std::size_t descriptorLimit, const StallTimeouts& timeouts)
    : capacity_(capacityFor(descriptorLimit)), timeouts_(timeouts), sweepTimer_(context) {}

void ConnectionRegistry::opened(TrackedConnection& connection) {
  if (connection.activity_ != Activity::Unfiled)
    return;
  ++open_;
  connection.activity_ = Activity::New;
  connection.since_ = Clock::now();
  new_.push_back(connection);
}

void ConnectionRegistry::idle(TrackedConnection& connection) {
  file(connection, Activity::Idle, idle_);
}

void ConnectionRegistry::inRequest(TrackedConnection& connection, bool began, bool progressed) {
  const auto now = Clock::now();
  if (connection.activity_ != Activity::Request || began) {
    connection.since_ = now;
    connection.progressed_ = now;
    file(connection, Activity::Request, requests_);
  } else if (progressed) {
    connection.progressed_ = now; // in its place: the list is in the order requests began
  }
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
  if (connection.activity_ == Activity::Closed || connection.activity_ == Activity::Unfiled)
    return;
  connection.unlink();
  connection.activity_ = Activity::Closing;
  idle_.push_front(connection);
}

void ConnectionRegistry::closed(TrackedConnection& connection) {
  if (connection.activity_ == Activity::Closed)
    return;
  if (connection.activity_ != Activity::Unfiled)
    --open_;
  connection.unlink();
  connection.activity_ = Activity::Closed;
}

// Moves the connection to the end of `list`: the lists stay in the order of their waits.
void ConnectionRegistry::file(TrackedConnection& connection, Activity activity, List& list) {
  if (connection.activity_ == Activity::Closed || connection.activity_ == Activity::Unfiled ||
      connection.activity_ == Activity::Closing)
    return;
  connection.unlink();
  connection.activity_ = activity;
  list.push_back(connection);
}

TrackedConnection* ConnectionRegistry::leastMissed() {
  if (!idle_.empty())
    return &idle_.front();
  // The oldest stalled head before a client that has sent nothing, and neither before it has
  // had its grace.
  const auto graceEnded = Clock::now() - timeouts_.grace;
  for (List* list : {&requests_, &new_}) {
    if (!list->empty() && list->front().since_ <= graceEnded)
      return &list->front();
  }
  return writes_.empty() ? nullptr : &writes_.front();
}

bool ConnectionRegistry::shedOne() {
  TrackedConnection* connection = leastMissed();
  if (connection == nullptr)
    return false;
  shed(*connection);
  return true;
}

std::optional<ConnectionRegistry::Clock::time_point> ConnectionRegistry::nextToShed() const {
  std::optional<Clock::time_point> next;
  for (const List* list : {&requests_, &new_}) {
    if (!list->empty() && (!next || list->front().since_ < *next))
      next = list->front().since_;
  }
  if (next)
    *next += timeouts_.grace;
  return next;
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
  // A body that progresses keeps its place, so a stalled request may be behind it.
  for (auto it = requests_.begin(); it != requests_.end();) {
    TrackedConnection& connection = *it++;
    if (now - connection.progressed_ >= timeouts_.head)
      shed(connection);
  }
  while (!writes_.empty() && now - writes_.front().since_ >= timeouts_.write)
    shed(writes_.front());
  // Nothing in either list: the timer stays off until something may stall again.
  if (!requests_.empty() || !writes_.empty())
    startSweep();
}

} // namespace rest
