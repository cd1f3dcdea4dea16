// The facade as a front end meets it: operations from another thread, refusals while no engine
// runs, an engine that cannot be built, and a loop that fails and runs again.
#include <gtest/gtest.h>

#include <thread>

#include "p2p/uv/UvTimer.h"
#include "support/EngineFixture.h"

using namespace enginetest;
using net::Api;

namespace {

struct ApiFacade : ::testing::Test {
  void SetUp() override { api.setListener(&events); }
  void TearDown() override { api.setListener(nullptr); }
  // The last event of the type once `count` of them have come, or null.
  template <class E>
  const E* waitFor(Api::EventType type, size_t count = 1) {
    for (int i = 0; i < 1000 && events.count(type) < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return events.count(type) < count ? nullptr : events.last<E>(type);
  }

  testsupport::TempDir dir;
  ScopedCwd cwd{dir.path()};
  EventLog events;
  Api api;
};

// Throws out of the loop once, the way a broken guard would.
struct ThrowsOnce : p2p::UvTimer::Cb {
  void handleTimer() override { throw std::runtime_error("broken guard"); }
};

}  // namespace

TEST_F(ApiFacade, CallsFromAnotherThreadRunOnTheLoopAndAreRefusedWhenNoEngineRuns) {
  api.ticketRecv(3, "CODE");  // before run: refused at once
  const auto* early = waitFor<Api::ErrorEvent>(Api::API_ERROR);
  ASSERT_NE(early, nullptr);
  EXPECT_EQ(early->commandId, 3);

  std::thread loop([&] { api.run(quietProperties(dir), ""); });
  ASSERT_NE(waitFor<Api::StartEvent>(Api::START), nullptr);
  api.ticketRecv(4, "");  // reaches the Manager
  const auto* answered = waitFor<Api::TicketGetEvent>(Api::TICKET_GET);
  ASSERT_NE(answered, nullptr);
  EXPECT_EQ(std::make_tuple(answered->commandId, answered->reason), std::make_tuple(4, std::string("Code is empty")));
  api.login(5, "line\nbreak", "pw");  // the settings refuse the name: the error carries the call's id
  const auto* refused = waitFor<Api::ErrorEvent>(Api::API_ERROR, 2);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->commandId, 5);

  api.stop();
  loop.join();
  api.ticketRecv(6, "CODE");  // after stop: refused
  const auto* late = waitFor<Api::ErrorEvent>(Api::API_ERROR, 3);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->commandId, 6);
}

TEST_F(ApiFacade, StopBeforeRunAndAnEngineThatCannotBeBuiltEndRunAtOnce) {
  Api stopped;
  stopped.setListener(&events);
  stopped.stop();
  stopped.run(quietProperties(dir), "");  // returns at once
  stopped.setListener(nullptr);

  api.setManagerFactory([](const Properties&, p2p::UvLoop*) -> std::unique_ptr<net::Manager> {
    throw std::runtime_error("no UDP port to bind");
  });
  api.run(quietProperties(dir), "");
  const auto* failed = waitFor<Api::ErrorEvent>(Api::API_ERROR);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->error, "no UDP port to bind");
  EXPECT_EQ(events.count(Api::START), 0u);
  EXPECT_FALSE(api.running());
}

TEST_F(ApiFacade, ALoopThatFailsIsReportedAndRunsAgainWithTheSameEngine) {
  ThrowsOnce once;
  std::unique_ptr<p2p::UvTimer> trap;
  api.setManagerFactory([&](const Properties& p, p2p::UvLoop* loop) {
    trap = std::make_unique<p2p::UvTimer>(loop);
    trap->start(50, 0, &once);
    return std::make_unique<net::Manager>(p, loop);
  });
  std::thread loop([&] { api.run(quietProperties(dir), ""); });
  const auto* crash = waitFor<Api::ErrorEvent>(Api::API_ERROR);
  ASSERT_NE(crash, nullptr);
  EXPECT_EQ(std::make_tuple(crash->commandId, crash->error), std::make_tuple(0, std::string("broken guard")));
  api.ticketRecv(8, "");  // answered once the loop runs again, about a second later
  const auto* after = waitFor<Api::TicketGetEvent>(Api::TICKET_GET);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->commandId, 8);
  api.stop();
  loop.join();
  trap.reset();
}
