#include "load/client_swarm.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace load {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

ClientSwarm::ClientSwarm() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

ClientSwarm::~ClientSwarm() {
  closeAll();
  if (epoll_ >= 0)
    ::close(epoll_);
}

bool ClientSwarm::open(std::size_t count, unsigned short port, int receiveBuffer) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (std::size_t i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return false;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Before connecting, so that the window it advertises is this small from the start.
    if (receiveBuffer > 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return false;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = fds_.size();
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    fds_.push_back(fd);
    received_.emplace_back();
  }
  return true;
}

bool ClientSwarm::sendRange(std::size_t first, std::size_t count, std::string_view bytes) {
  bool allSent = true;
  for (std::size_t i = first; i < first + count && i < fds_.size(); ++i) {
    // Small requests into an empty socket buffer: a short send means the service stopped
    // reading, which the caller sees as a failure.
    const ssize_t sent = ::send(fds_[i], bytes.data(), bytes.size(), MSG_NOSIGNAL);
    allSent = allSent && sent == static_cast<ssize_t>(bytes.size());
  }
  return allSent;
}

std::size_t ClientSwarm::expectRange(std::size_t first, std::size_t count,
                                     const std::string& expected,
                                     std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::size_t end = std::min(first + count, fds_.size());
  std::size_t waiting = 0;
  for (std::size_t i = first; i < end; ++i)
    waiting += received_[i].size() < expected.size();
  std::vector<epoll_event> events(256);
  char buffer[16384];
  while (waiting > 0) {
    const int ready =
        epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), msLeft(deadline));
    if (ready <= 0)
      break;
    for (int e = 0; e < ready; ++e) {
      const std::size_t i = events[static_cast<std::size_t>(e)].data.u64;
      for (;;) {
        const ssize_t n = ::recv(fds_[i], buffer, sizeof buffer, 0);
        if (n <= 0) {
          if (n == 0) { // closed by the service: nothing more will come
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fds_[i], nullptr);
            if (i >= first && i < end && received_[i].size() < expected.size()) {
              received_[i].push_back('\0'); // cannot equal `expected` any more
              --waiting;
            }
          }
          break;
        }
        const bool wasShort = received_[i].size() < expected.size();
        received_[i].append(buffer, static_cast<std::size_t>(n));
        if (wasShort && received_[i].size() >= expected.size() && i >= first && i < end)
          --waiting;
      }
    }
  }
  std::size_t matching = 0;
  for (std::size_t i = first; i < end; ++i) {
    matching += received_[i] == expected;
    received_[i].clear();
  }
  return matching;
}

std::size_t ClientSwarm::drainFor(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<epoll_event> events(256);
  char buffer[16384];
  std::size_t total = 0;
  for (;;) {
    const int ready =
        epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), msLeft(deadline));
    if (ready <= 0)
      return total;
    for (int e = 0; e < ready; ++e) {
      const std::size_t i = events[static_cast<std::size_t>(e)].data.u64;
      const ssize_t n = ::recv(fds_[i], buffer, sizeof buffer, 0);
      if (n > 0)
        total += static_cast<std::size_t>(n);
      else if (n == 0)
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fds_[i], nullptr);
    }
  }
}

void ClientSwarm::closeAll(bool reset) {
  for (const int fd : fds_) {
    if (reset) {
      const linger abort{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
  }
  fds_.clear();
  received_.clear();
}

long residentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  return 0;
}

namespace {
long cpuTicks(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses and may hold spaces.
  const std::size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 > text.size())
    return -1; // no such process
  std::istringstream fields(text.substr(nameEnd + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      utime = std::stol(field);
    if (i == 15)
      stime = std::stol(field);
  }
  return utime + stime;
}
} // namespace

bool waitUntilIdle(int pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  long before = cpuTicks(pid);
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long now = cpuTicks(pid);
    if (now < 0)
      return false;
    if (now == before)
      return true;
    before = now;
  }
  return false;
}

long openDescriptors(int pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr)
    return -1;
  long count = 0;
  while (const dirent* entry = readdir(dir))
    count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

long openConnections(int pid, unsigned short port) {
  // /proc/PID/net/tcp: "slot local remote state ... inode", addresses as HEXIP:HEXPORT, state
  // 0A for listening.
  const std::string process = "/proc/" + std::to_string(pid);
  char portSuffix[8];
  std::snprintf(portSuffix, sizeof portSuffix, ":%04X", port);
  std::set<std::string> sockets;
  std::ifstream table(process + "/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, skipped, inode;
    fields >> slot >> local >> remote >> state;
    for (int i = 0; i < 5; ++i)
      fields >> skipped;
    fields >> inode;
    if (local.ends_with(portSuffix) && state != "0A")
      sockets.insert("socket:[" + inode + "]");
  }
  DIR* dir = opendir((process + "/fd").c_str());
  if (dir == nullptr)
    return -1;
  long count = 0;
  char target[64];
  while (const dirent* entry = readdir(dir)) {
    const std::string link = process + "/fd/" + entry->d_name;
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    count += length > 0 && sockets.count(std::string(target, static_cast<std::size_t>(length)));
  }
  closedir(dir);
  return count;
}

} // namespace load
