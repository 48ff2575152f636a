// The service with its stall timeouts shortened, so that the load tests can watch stalled
// connections being closed within seconds. A test program only: never installed, and the
// service itself has no way to change its timeouts.
#include "service/service.h"

int main() {
  using std::chrono::milliseconds;
  return service::runService(
      {.head = milliseconds(2000), .write = milliseconds(3000), .sweep = milliseconds(250)});
}
