// Starts the service as a child process for one test, reads its standard output and error, and
// ends it by its process id. The command is the service binary of this build, or the command
// line in TOBRAN_SERVICE_COMMAND (split at spaces), so the same tests can drive another build
// of the service, e.g. the Windows one under Wine. The simulated reader's control channel is
// named through READER_SIM_CONTROL = TEST_CONTROL_PORT unless a test turns that off.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>

namespace e2e {

inline constexpr unsigned short SERVICE_PORT = 22001;
inline constexpr unsigned short TEST_CONTROL_PORT = 22012;

// Every wait of the tests is multiplied by TOBRAN_TIMEOUT_SCALE (default 1).
std::chrono::milliseconds scaled(std::chrono::milliseconds base);

class ServiceProcess {
 public:
  ServiceProcess();
  ~ServiceProcess(); // kills the process if it still runs
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  bool start();
  // For the next start(): the descriptor limit of the process, soft and hard alike, so that
  // it cannot raise it (0, the default: inherited).
  void limitDescriptors(unsigned long limit) { descriptorLimit_ = limit; }
  // For the next start(): this command line (split at spaces) instead of the service.
  void useProgram(std::string path) { program_ = std::move(path); }
  // Whether start() names the simulated reader's control channel; without it the simulated
  // reader reports no reader attached.
  bool nameControlChannel = true;
  // Waits for a first line on standard output; false if none came in time.
  bool waitForStartLine();
  // Waits for the process to exit by itself; its exit status, or nothing on time-out.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  void kill();

  // Everything read so far (reading what is available now).
  const std::string& standardOutput();
  const std::string& standardError();
  pid_t pid() const { return pid_; }

 private:
  void drain(std::chrono::milliseconds wait);

  unsigned long descriptorLimit_ = 0;
  std::string program_;
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string stdout_;
  std::string stderr_;
  std::optional<int> exitStatus_;
};

} // namespace e2e
