// Many client connections to the service on 127.0.0.1, driven from one thread with epoll: the
// load tests open thousands of them, send the same bytes on each, and wait for every reply.
// Every wait has a time-out, so nothing here can hang.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace load {

class ClientSwarm {
 public:
  ClientSwarm();
  ~ClientSwarm(); // closes every connection
  ClientSwarm(const ClientSwarm&) = delete;
  ClientSwarm& operator=(const ClientSwarm&) = delete;

  // Opens `count` more connections; false (with those that did open kept) if one failed.
  // A `receiveBuffer` size (bytes, 0: the system's) caps what each takes in unread.
  bool open(std::size_t count, unsigned short port, int receiveBuffer = 0);
  std::size_t size() const { return fds_.size(); }

  // Sends `bytes` on every connection, or on those in [first, first + count).
  bool sendAll(std::string_view bytes) { return sendRange(0, fds_.size(), bytes); }
  bool sendRange(std::size_t first, std::size_t count, std::string_view bytes);

  // Reads on connections [first, first + count) until each has received `expected.size()`
  // bytes, or `timeout` passed. Returns how many received exactly `expected`; what they
  // received is then cleared.
  std::size_t expectAll(const std::string& expected, std::chrono::milliseconds timeout) {
    return expectRange(0, fds_.size(), expected, timeout);
  }
  std::size_t expectRange(std::size_t first, std::size_t count, const std::string& expected,
                          std::chrono::milliseconds timeout);
  // Reads whatever arrives within `timeout` on every connection; the total number of bytes.
  std::size_t drainFor(std::chrono::milliseconds timeout);

  // Closes every connection: with `reset`, by a reset (SO_LINGER 0), as a client that goes
  // away in the middle of a reply does.
  void closeAll(bool reset = false);

 private:
  int epoll_ = -1;
  std::vector<int> fds_;
  std::vector<std::string> received_;
};

// The service's resident memory in KiB (VmRSS of /proc/<pid>/status); 0 if unreadable.
long residentKiB(int pid);
// Waits until the process `pid` has used no CPU time for 200 ms (utime + stime of
// /proc/<pid>/stat); false if it was still busy after `timeout`.
bool waitUntilIdle(int pid, std::chrono::milliseconds timeout);
// The number of descriptors the process `pid` has open.
long openDescriptors(int pid);
// The TCP connections process `pid` holds on its local `port` (listening sockets not counted).
long openConnections(int pid, unsigned short port);

} // namespace load
