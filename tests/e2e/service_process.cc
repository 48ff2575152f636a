#include "e2e/service_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> splitAtSpaces(const std::string& command) {
  std::vector<std::string> words;
  std::istringstream stream(command);
  for (std::string word; stream >> word;)
    words.push_back(word);
  return words;
}

std::vector<std::string> serviceCommand() {
  std::vector<std::string> words;
  if (const char* command = std::getenv("TOBRAN_SERVICE_COMMAND"))
    words = splitAtSpaces(command);
  if (words.empty())
    words.push_back(TOBRAN_SERVICE_BINARY);
  return words;
}

} // namespace

std::chrono::milliseconds scaled(std::chrono::milliseconds base) {
  double scale = 1.0;
  if (const char* text = std::getenv("TOBRAN_TIMEOUT_SCALE"))
    scale = std::max(1.0, std::atof(text));
  return std::chrono::milliseconds(static_cast<long long>(base.count() * scale));
}

ServiceProcess::ServiceProcess() = default;

ServiceProcess::~ServiceProcess() {
  kill();
  if (stdoutFd_ >= 0)
    close(stdoutFd_);
  if (stderrFd_ >= 0)
    close(stderrFd_);
}

bool ServiceProcess::start() {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0)
    return false;
  const std::vector<std::string> command =
      program_.empty() ? serviceCommand() : splitAtSpaces(program_);
  pid_ = fork();
  if (pid_ < 0)
    return false;
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    // Nothing else of the test's (or of whatever started it) reaches the service, whose own
    // descriptors some tests count.
    closefrom(STDERR_FILENO + 1);
    if (nameControlChannel)
      setenv("READER_SIM_CONTROL", std::to_string(TEST_CONTROL_PORT).c_str(), 1);
    else
      unsetenv("READER_SIM_CONTROL");
    if (descriptorLimit_ != 0) {
      const rlimit limit{descriptorLimit_, descriptorLimit_};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<char*> argv;
    for (const std::string& word : command)
      argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
  fcntl(stderrFd_, F_SETFL, O_NONBLOCK);
  return true;
}

void ServiceProcess::drain(std::chrono::milliseconds wait) {
  pollfd fds[2] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}};
  poll(fds, 2, static_cast<int>(wait.count()));
  char buffer[4096];
  for (auto [fd, text] : {std::pair{stdoutFd_, &stdout_}, std::pair{stderrFd_, &stderr_}}) {
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0)
        break;
      text->append(buffer, static_cast<std::size_t>(n));
    }
  }
}

bool ServiceProcess::waitForStartLine() {
  const auto deadline = Clock::now() + scaled(std::chrono::milliseconds(5000));
  while (Clock::now() < deadline) {
    drain(std::chrono::milliseconds(20));
    if (stdout_.find('\n') != std::string::npos)
      return true;
    if (waitForExit(std::chrono::milliseconds(0)))
      return false;
  }
  return false;
}

std::optional<int> ServiceProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_ || pid_ <= 0)
    return exitStatus_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      drain(std::chrono::milliseconds(0));
      return exitStatus_;
    }
    if (Clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ServiceProcess::kill() {
  if (pid_ <= 0 || exitStatus_)
    return;
  ::kill(pid_, SIGTERM);
  if (!waitForExit(scaled(std::chrono::milliseconds(3000)))) {
    ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::milliseconds(5000));
  }
}

const std::string& ServiceProcess::standardOutput() {
  drain(std::chrono::milliseconds(0));
  return stdout_;
}

const std::string& ServiceProcess::standardError() {
  drain(std::chrono::milliseconds(0));
  return stderr_;
}

} // namespace e2e
