// The facade as a front end meets it: operations from another thread, refusals while no engine
// runs, an engine that cannot be built, and a loop that fails and runs again.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "net/handlers/EngineFixture.h"
#include "p2p/uv/UvTimer.h"

using namespace enginetest;
using net::Api;

namespace {


template <class E>
const E* waitFor(EventLog& log, Api::EventType type, size_t count = 1) {
  for (int i = 0; i < 1000 && log.count(type) < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return log.last<E>(type);
}

// Throws out of the loop once, the way a broken guard would.
struct ThrowsOnce : p2p::UvTimer::Cb {
  void handleTimer() override { throw std::runtime_error("broken guard"); }
};

}  // namespace

TEST(ApiFacade, CallsFromAnotherThreadRunOnTheLoopAndAreRefusedWhenNoEngineRuns) {
  testsupport::TempDir dir;
  ScopedCwd cwd(dir.path());
  EventLog events;
  Api api;
  api.setListener(&events);
  api.ticketRecv(3, "CODE");  // before run: refused at once
  const auto* early = waitFor<Api::ErrorEvent>(events, Api::API_ERROR);
  ASSERT_NE(early, nullptr);
  EXPECT_EQ(early->commandId, 3);

  std::thread loop([&] { api.run(quietProperties(dir), ""); });
  ASSERT_NE(waitFor<Api::StartEvent>(events, Api::START), nullptr);
  EXPECT_EQ(api.getGoogleOauth2Url(), "https://127.0.0.1:1/Oauth2?uuid=11111111-2222-1333-8444-555555555555&provider=google");
  api.ticketRecv(4, "");  // reaches the Manager
  const auto* answered = waitFor<Api::TicketGetEvent>(events, Api::TICKET_GET);
  ASSERT_NE(answered, nullptr);
  EXPECT_EQ(answered->commandId, 4);
  EXPECT_EQ(answered->reason, "Code is empty");
  api.login(5, "line\nbreak", "pw");  // the settings refuse the name: the error carries the call's id
  const auto* refused = waitFor<Api::ErrorEvent>(events, Api::API_ERROR, 2);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->commandId, 5);

  api.stop();
  loop.join();
  api.ticketRecv(6, "CODE");  // after stop: refused
  const auto* late = waitFor<Api::ErrorEvent>(events, Api::API_ERROR, 3);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->commandId, 6);
  api.setListener(nullptr);
}

TEST(ApiFacade, StopBeforeRunAndAnEngineThatCannotBeBuiltEndRunAtOnce) {
  testsupport::TempDir dir;
  ScopedCwd cwd(dir.path());
  {
    EventLog events;
    Api api;
    api.setListener(&events);
    api.stop();
    api.run(quietProperties(dir), "");  // returns at once
    EXPECT_EQ(events.count(Api::START), 0u);
    api.setListener(nullptr);
  }
  EventLog events;
  Api api;
  api.setListener(&events);
  api.setManagerFactory([](const Properties&, p2p::UvLoop*) -> std::unique_ptr<net::Manager> {
    throw std::runtime_error("no UDP port to bind");
  });
  api.run(quietProperties(dir), "");
  const auto* failed = waitFor<Api::ErrorEvent>(events, Api::API_ERROR);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->error, "no UDP port to bind");
  EXPECT_EQ(events.count(Api::START), 0u);
  EXPECT_FALSE(api.running());
  api.setListener(nullptr);
}

TEST(ApiFacade, ALoopThatFailsIsReportedAndRunsAgainWithTheSameEngine) {
  testsupport::TempDir dir;
  ScopedCwd cwd(dir.path());
  EventLog events;
  Api api;
  api.setListener(&events);
  ThrowsOnce once;
  std::unique_ptr<p2p::UvTimer> trap;
  api.setManagerFactory([&](const Properties& p, p2p::UvLoop* loop) {
    trap = std::make_unique<p2p::UvTimer>(loop);
    trap->start(50, 0, &once);
    return std::make_unique<net::Manager>(p, loop);
  });
  std::thread loop([&] { api.run(quietProperties(dir), ""); });
  const auto* crash = waitFor<Api::ErrorEvent>(events, Api::API_ERROR);
  ASSERT_NE(crash, nullptr);
  EXPECT_EQ(crash->commandId, 0);
  EXPECT_EQ(crash->error, "broken guard");
  api.ticketRecv(8, "");  // answered once the loop runs again, about a second later
  const auto* after = waitFor<Api::TicketGetEvent>(events, Api::TICKET_GET);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->commandId, 8);
  api.stop();
  loop.join();
  trap.reset();
  api.setListener(nullptr);
}
