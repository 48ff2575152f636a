// The fixture of every end-to-end test: a fresh service with a fresh simulated reader, started
// before the test and ended by its process id after it.
#pragma once

#include "e2e/service_process.h"
#include "e2e/tcp_client.h"
#include "support/expected_replies.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

namespace e2e {

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends a command to the simulated reader inside the service; its reply line.
  std::string sim(const std::string& command);
  // Sends a press or fake with wait=: its reply once the service is done with the press.
  std::string simWait(const std::string& command,
                      std::chrono::milliseconds wait = std::chrono::milliseconds(3000));
  unsigned long calls(const std::string& name);
  // The body of a GET of `target`.
  std::string get(const std::string& target) { return chunkedBody(httpGet(target)); }
  // Polls getImage until its body equals `body`; the last body seen.
  std::string waitForImage(const std::string& body);

  ServiceProcess service;
};

// Copies the service and its library into `folder`, made readable by every user, since the
// build may sit in a private folder (a checkout under /root or a 0700 home); the copy's path.
std::string copyServiceInto(const std::filesystem::path& folder);

// A socket of this process listening on 127.0.0.1, port 22001, or -1. The service of an earlier
// test may hold the port a moment after its process has ended (under Wine the wineserver closes
// a dead process's sockets only once it notices the end), so the bind is tried for a while.
int listenOnServicePort();

using testing_support::BEGIN_CAPTURE_PATH;
using testing_support::framed;
using testing_support::GET_IMAGE_PATH;
using testing_support::GET_TEMPLATE_PATH;
using testing_support::progressReply;
using testing_support::REPLY_HEAD;
using testing_support::SERIAL_REPLY;
using testing_support::templateReply;

} // namespace e2e
