#include "service/service.h"

#include "platform/platform.h"
#include "rest/listener.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace service {

int runService(const rest::StallTimeouts& timeouts) {
  // A lock that cannot be created does not stop the service; only one held elsewhere does.
  if (platform::acquireSingleInstanceLock(SINGLE_INSTANCE_MUTEX) ==
      platform::InstanceLock::HeldElsewhere)
    return 0;

  // The default limit (1,024 on most systems) would let one host hold every descriptor.
  const std::size_t descriptorLimit = platform::raiseDescriptorLimit();

  // Everything happens on this thread: one io_context, run here and nowhere else, and no other
  // thread posts to it or touches a socket. The hint tells Asio so, and it then takes no locks
  // in its scheduler or reactor: about 200 of a polled request's 2,800 instructions went to them.
  boost::asio::io_context eventLoop(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE);
  const auto listener =
      rest::Listener::start(eventLoop, static_cast<std::uint16_t>(std::atoi(SERVICE_PORT)),
                            descriptorLimit, timeouts);
  if (!listener) {
    std::fprintf(stderr, "Error starting server on port %s\n", SERVICE_PORT);
    std::exit(1);
  }
  std::printf("Starting RESTful server on port %s\n", SERVICE_PORT);
  // Flushed so that the line reaches a log file or a pipe now, not when the buffer fills.
  std::fflush(stdout);

  // The loop sleeps until a socket or a timer needs it: nothing has to happen at intervals, so
  // an idle service never wakes. The guard keeps run() from returning should every handler
  // ever be done.
  const auto keepRunning = boost::asio::make_work_guard(eventLoop);
  for (;;)
    eventLoop.run();
}

} // namespace service
