// Every open connection of the listener, filed by what it is waiting for, so that stalled
// clients and a shortage of descriptors are met without a timer per request:
//  - new: accepted, and no request of it finished yet, oldest first;
//  - idle: served, no request in progress and nothing left to write, longest idle first
//    (connections letting go after their last reply go first of all);
//  - in a request: a head or body partly received, the one whose request began first;
//  - writing: a reply the client does not take, the one whose write last progressed longest
//    ago first.
// Filing is a couple of pointer moves and needs no system call. One sweep timer runs only
// while some connection is in a request or writing: it closes a head not complete within the
// head timeout, a body that made no progress for as long, and a reply that made no progress
// within the write timeout. An idle or new connection is never closed by time, only to make
// room (shedOne) when descriptors run short; and a new connection, or a request, only once it
// has had the grace to send its head, counted from its start: a fresh client is never made
// room for with another fresh client, and a body that keeps trickling in does not renew it.
//
// Event-loop thread only. The registry must outlive every connection filed in it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/list.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace rest {

struct StallTimeouts {
  using Duration = std::chrono::steady_clock::duration;
  // A browser sends a head in one segment; even on a lossy network its retransmissions arrive
  // within a few seconds. Half a minute is far beyond that, and yet a head trickled byte by
  // byte holds its descriptor no longer than that.
  Duration head = std::chrono::seconds(30);
  // Replies are a few KiB and fit the socket's send buffer whole: a write waits only when the
  // client has left hundreds of KiB of replies unread. A minute without taking a byte means
  // it is gone or never reads.
  Duration write = std::chrono::seconds(60);
  // How often the sweep looks while something may stall: the timeouts are kept to about this.
  Duration sweep = std::chrono::seconds(1);
  // How long a new connection, or a request just begun, is safe from being closed to make
  // room: a browser's head follows its connection within a round trip.
  Duration grace = std::chrono::seconds(1);
};

class ConnectionRegistry;

// What the registry keeps of one connection; the connection derives from it.
class TrackedConnection : public boost::intrusive::list_base_hook<
                              boost::intrusive::link_mode<boost::intrusive::auto_unlink>> {
 protected:
  TrackedConnection() = default;
  ~TrackedConnection() = default;

 private:
  friend class ConnectionRegistry;
  // Closes the socket at once; the registry has already forgotten the connection.
  virtual void shed() = 0;

  // New: when accepted. Request: when the request began. Writing: when the write last
  // progressed.
  std::chrono::steady_clock::time_point since_;
  // Request: when its head began or its body last progressed, which the head timeout counts
  // from.
  std::chrono::steady_clock::time_point progressed_;
  enum class Activity : std::uint8_t { Unfiled, New, Idle, Request, Writing, Closing, Closed };
  Activity activity_ = Activity::Unfiled;
};

class ConnectionRegistry {
 public:
  using Clock = std::chrono::steady_clock;

  // `descriptorLimit`: the process's limit on open descriptors, 0 for none. Connections are
  // kept a few short of it, so that the reader and the lock still find descriptors.
  ConnectionRegistry(boost::asio::io_context& context, std::size_t descriptorLimit,
                     const StallTimeouts& timeouts);
  ConnectionRegistry(const ConnectionRegistry&) = delete;
  ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

  // A connection newly accepted: filed as new until its first request is answered.
  void opened(TrackedConnection& connection);
  // Waiting for the client to send: idle (served, nothing begun), or in a request.
  // `began`: the request is another than when the connection was last filed in one;
  // `progressed`: its body made progress since.
  void idle(TrackedConnection& connection);
  void inRequest(TrackedConnection& connection, bool began, bool progressed);
  // Waiting for the client to read a reply; `progressed`: some of it was taken just now.
  void writing(TrackedConnection& connection, bool progressed);
  // Letting go after its last reply: the first to be shed.
  void closing(TrackedConnection& connection);
  // Gone; filing it again has no effect.
  void closed(TrackedConnection& connection);

  // True when one more connection would take a descriptor kept in reserve.
  bool full() const { return open_ >= capacity_; }
  // Closes the connection that is least missed: one letting go, the longest idle, the oldest
  // request past its grace, the oldest new connection past its grace, else the oldest
  // writing. False when there is none.
  bool shedOne();
  bool canShed() { return leastMissed() != nullptr; }
  // When canShed() may next be true, if it is not now: when a grace ends.
  std::optional<Clock::time_point> nextToShed() const;
  std::size_t open() const { return open_; }

 private:
  using Activity = TrackedConnection::Activity;
  using List =
      boost::intrusive::list<TrackedConnection, boost::intrusive::constant_time_size<false>>;
  void file(TrackedConnection& connection, Activity activity, List& list);
  TrackedConnection* leastMissed();
  void startSweep();
  void sweep();
  void shed(TrackedConnection& connection);

  std::size_t capacity_;
  std::size_t open_ = 0;
  StallTimeouts timeouts_;
  List new_, idle_, requests_, writes_;
  boost::asio::steady_timer sweepTimer_;
  bool sweeping_ = false;
};

} // namespace rest
