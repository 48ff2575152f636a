// The registry's order of shedding, its reserve of descriptors, and its sweep, with
// connections that only record being shed.
#include "rest/connection_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace rest {
namespace {

using std::chrono::milliseconds;

struct FakeConnection final : TrackedConnection {
  explicit FakeConnection(std::string name, std::string& log) : name(std::move(name)), log(log) {}
  void shed() override { log += name; }
  std::string name;
  std::string& log;
};

TEST(ConnectionRegistry, ShedsThoseLettingGoThenLongestIdleThenOldestRequestThenNewThenWriting) {
  boost::asio::io_context context;
  ConnectionRegistry registry(context, 0, {.grace = milliseconds(0)});
  std::string shed;
  FakeConnection writing("w", shed), request("r", shed), fresh("n", shed), idle1("1", shed),
      idle2("2", shed), idle3("3", shed), closing("c", shed);
  for (FakeConnection* connection : {&writing, &request, &fresh, &idle1, &idle2, &idle3, &closing})
    registry.opened(*connection);
  registry.writing(writing, false);
  registry.inRequest(request, false, false);
  for (FakeConnection* connection : {&idle2, &idle3, &idle1, &closing})
    registry.idle(*connection);
  registry.closing(closing);
  EXPECT_EQ(registry.open(), 7u);
  while (registry.shedOne()) {
  }
  EXPECT_EQ(shed, "c231rnw");
  EXPECT_EQ(registry.open(), 0u);
  registry.idle(idle1); // a connection already shed is not filed again
  EXPECT_FALSE(registry.shedOne());
}

// A connection, or a request, gets the grace to send its head: none is shed before, however
// short of room, and the oldest request goes first once it has had it.
TEST(ConnectionRegistry, NothingIsShedWithinItsGrace) {
  boost::asio::io_context context;
  ConnectionRegistry registry(context, 0, {.grace = milliseconds(200)});
  std::string shed;
  FakeConnection request("r", shed), fresh("n", shed);
  registry.opened(request);
  registry.inRequest(request, false, false);
  registry.opened(fresh);
  EXPECT_FALSE(registry.canShed());
  ASSERT_TRUE(registry.nextToShed());
  std::this_thread::sleep_until(*registry.nextToShed());
  EXPECT_TRUE(registry.shedOne());
  EXPECT_EQ(shed, "r");
}

// A body that keeps trickling in is never stalled, but it neither renews its request's grace
// nor hides a stalled request filed after it from the sweep.
TEST(ConnectionRegistry, ATricklingBodyKeepsNeitherItsGraceNorItsPlace) {
  boost::asio::io_context context;
  ConnectionRegistry registry(context, 0,
                              {.head = milliseconds(600),
                               .sweep = milliseconds(20),
                               .grace = milliseconds(200)});
  std::string shed;
  FakeConnection body("b", shed), stalled("s", shed);
  for (FakeConnection* connection : {&body, &stalled}) {
    registry.opened(*connection);
    registry.inRequest(*connection, false, false);
  }
  for (int i = 0; i < 8; ++i) {
    context.run_for(milliseconds(100));
    registry.inRequest(body, false, true);
  }
  EXPECT_EQ(shed, "s");
  EXPECT_TRUE(registry.shedOne());
  EXPECT_EQ(shed, "sb");
}

TEST(ConnectionRegistry, KeepsDescriptorsInReserveBelowTheLimit) {
  boost::asio::io_context context;
  ConnectionRegistry registry(context, 64, {});
  std::string shed;
  std::vector<std::unique_ptr<FakeConnection>> connections;
  for (int i = 0; i < 48; ++i) {
    EXPECT_FALSE(registry.full()) << i;
    connections.push_back(std::make_unique<FakeConnection>("x", shed));
    registry.opened(*connections.back());
  }
  EXPECT_TRUE(registry.full());
  registry.closed(*connections.front());
  EXPECT_FALSE(registry.full());
}

TEST(ConnectionRegistry, SweepClosesStalledRequestsAndWritesAndStopsWhenNoneIsLeft) {
  boost::asio::io_context context;
  ConnectionRegistry registry(context, 0,
                              {.head = milliseconds(100),
                               .write = milliseconds(300),
                               .sweep = milliseconds(20)});
  std::string shed;
  FakeConnection request("r", shed), writing("w", shed), idle("i", shed);
  for (FakeConnection* connection : {&request, &writing, &idle})
    registry.opened(*connection);
  registry.inRequest(request, false, false);
  registry.writing(writing, false);
  context.run_for(milliseconds(200));
  EXPECT_EQ(shed, "r");
  registry.writing(writing, true); // progress restarts the write's wait
  context.run_for(milliseconds(200));
  EXPECT_EQ(shed, "r");
  // Once nothing can stall the timer stays off: the loop runs out of work by itself.
  const auto start = std::chrono::steady_clock::now();
  context.run_for(milliseconds(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
  EXPECT_EQ(shed, "rw");
  EXPECT_EQ(registry.open(), 1u); // the idle one is never closed by time
}

} // namespace
} // namespace rest
