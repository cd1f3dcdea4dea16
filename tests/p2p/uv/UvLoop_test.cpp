#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvFile.h"
#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvTimer.h"
#include "support/StrayHandleCheck.h"
#include "support/TestSupport.h"

using namespace p2p;
using namespace std::chrono_literals;
using testsupport::failureOf;

namespace {

struct CallbackTimer : UvTimer::Cb {
  std::function<void()> body;
  int fired = 0;
  explicit CallbackTimer(std::function<void()> f = [] {}) : body(std::move(f)) {}
  void handleTimer() override {
    ++fired;
    body();
  }
};

std::function<void()>* call(std::function<void()> f) { return new std::function<void()>(std::move(f)); }

}  // namespace

TEST(UvLoop, StopFromAnotherThreadEndsThisRunOrTheNext) {
  UvLoop loop;
  std::unique_ptr<OnLoopExecutor> executor(loop.newOnLoopExecutor());  // keeps the loop busy
  CallbackTimer watchdog([&] { loop.stop(); });
  UvTimer watchdogTimer(&loop);
  watchdogTimer.start(3000, 0, &watchdog);
  std::atomic<bool> running{false};
  executor->execute(call([&] { running = true; }));

  EXPECT_FALSE(loop.executingOnLoop());
  std::thread runner([&] { loop.run(); });
  while (!running) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(loop.executingOnLoop());  // the runner is the loop thread now
  loop.stop();
  runner.join();

  std::thread([&] { loop.stop(); }).join();  // asked while nothing runs: ends the next run
  loop.run();
  EXPECT_TRUE(loop.executingOnLoop());
  EXPECT_EQ(watchdog.fired, 0);
}

TEST(UvLoop, AnExceptionInACallbackEndsTheRunLosingNothingButPoolWorkOnlyLogsIt) {
  UvLoop loop;
  CallbackTimer thrower([] { throw std::runtime_error("boom"); });
  UvTimer timer(&loop);
  timer.start(1, 0, &thrower);
  EXPECT_EQ(failureOf([&] { loop.run(); }), "boom");

  std::unique_ptr<OnLoopExecutor> executor(loop.newOnLoopExecutor());
  int after = 0;
  std::thread([&] {
    executor->execute(call([] { throw std::runtime_error("bad call"); }));
    executor->execute(call([&] { ++after; }));
  }).join();
  EXPECT_EQ(failureOf([&] { loop.run(); }), "bad call");
  EXPECT_EQ(after, 1);
  executor->execute(call([&] { ++after; }));  // on the loop thread: at once, without deadlock
  EXPECT_EQ(after, 2);
  executor.reset();

  CallbackTimer counter;
  timer.start(1, 0, &counter);
  std::atomic<bool> offLoop{false};
  loop.executeAsync(call([&] {
    offLoop = !loop.executingOnLoop();
    throw std::runtime_error("listener failed");
  }));
  EXPECT_NO_THROW(loop.run());
  EXPECT_EQ(counter.fired, 1);
  EXPECT_TRUE(offLoop);
}

TEST(UvTimer, RepeatingTimerMayBeDeletedByItsCallback) {
  UvLoop loop;
  auto* timer = new UvTimer(&loop);
  CallbackTimer cb([&] { delete timer; });
  timer->start(1, 1, &cb);
  loop.run();
  EXPECT_EQ(cb.fired, 1);
}

TEST(OnLoopExecutor, ManyThreadsRunEveryFunctionOnceInEachThreadsOrder) {
  constexpr int Threads = 8, Calls = 2000;
  UvLoop loop;
  std::unique_ptr<OnLoopExecutor> executor(loop.newOnLoopExecutor());
  std::vector<std::vector<int>> seen(Threads);  // touched on the loop thread only
  std::atomic<int> done{0};
  std::atomic<bool> offLoop{false};
  std::vector<std::thread> callers;
  for (int t = 0; t < Threads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < Calls; ++i) {
        executor->execute(call([&, t, i] {
          if (!loop.executingOnLoop()) offLoop = true;
          seen[t].push_back(i);
          ++done;
        }));
      }
    });
  }
  EXPECT_TRUE(testsupport::runUntil(loop, [&] { return done == Threads * Calls; }, 10000));
  for (auto& caller : callers) caller.join();
  EXPECT_FALSE(offLoop);
  std::vector<int> inOrder(Calls);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  for (int t = 0; t < Threads; ++t) EXPECT_TRUE(seen[t] == inOrder) << "thread " << t;
}

TEST(UvLoop, DestroyedWithHandlesAndPoolWorkStillAliveShutsDownAndRefusesCalls) {
  std::atomic<bool> workFinished{false};
  std::unique_ptr<UvTimer> orphanTimer;
  std::unique_ptr<OnLoopExecutor> orphanExecutor;
  CallbackTimer never;
  const size_t straysBefore = UvLoop::strayHandles().count;
  // A completion that runs while the loop closes may still make a resident; it must be
  // closed with the rest, not left pointing at the freed loop.
  struct MakesATimer : UvFile::FileCb {
    UvLoop* loop = nullptr;
    std::unique_ptr<UvTimer> made;
    void handleFileExists(bool, const uv_stat_t&) override { made = std::make_unique<UvTimer>(loop); }
  } latecomer;
  {
    UvLoop loop;
    latecomer.loop = &loop;
    UvFile::exists("/", &loop, &latecomer);
    orphanTimer = std::make_unique<UvTimer>(&loop);
    orphanTimer->start(100000, 0, &never);
    orphanExecutor.reset(loop.newOnLoopExecutor());
    auto* raw = allocUv<uv_timer_t>();  // a handle that no object owns any more
    uv_timer_init(loop.uvLoop(), raw);
    uv_timer_start(raw, [](uv_timer_t*) {}, 100000, 0);
    loop.executeAsync(call([&] {
      std::this_thread::sleep_for(50ms);
      workFinished = true;
    }));
  }
  EXPECT_TRUE(workFinished);
  // Only the handle nobody owned was left to the loop, and it counts as a leak.
  EXPECT_EQ(UvLoop::strayHandles().count, straysBefore + 1);
  EXPECT_STREQ(UvLoop::strayHandles().lastType, "timer");
  testsupport::expectStrayHandles(1);
  ASSERT_TRUE(latecomer.made);
  latecomer.made->stop();
  latecomer.made.reset();
  // The objects outlived their loop: using them is harmless, and a call is refused.
  orphanTimer->stop();
  std::atomic<bool> ran{false};
  std::thread([&] { orphanExecutor->execute(call([&] { ran = true; })); }).join();
  EXPECT_FALSE(ran);
  EXPECT_EQ(never.fired, 0);
}

namespace {

// Counts its own destruction; may hand another object to deleteSoon while it goes.
struct Doomed {
  int* deaths;
  UvLoop* loop = nullptr;
  std::unique_ptr<Doomed> next;  // handed to deleteSoon from the destructor
  explicit Doomed(int* deaths) : deaths(deaths) {}
  ~Doomed() {
    ++*deaths;
    if (loop && next) loop->deleteSoon(std::move(next));
  }
};

}  // namespace

TEST(DeleteSoon, DeletesOnALaterTurnAndChainsAndIsFlushedByTheLoopsEnd) {
  int deaths = 0;
  {
    UvLoop loop;
    CallbackTimer inside([&] {
      auto first = std::make_unique<Doomed>(&deaths);
      first->loop = &loop;
      first->next = std::make_unique<Doomed>(&deaths);
      loop.deleteSoon(std::move(first));
      EXPECT_EQ(deaths, 0);  // never inside the call that asked
    });
    UvTimer timer(&loop);
    timer.start(0, 0, &inside);
    loop.run();  // the pending deletion keeps the loop turning until it is done
    EXPECT_EQ(deaths, 2);
    EXPECT_EQ(loop.pendingDeletions(), 0u);

    loop.deleteSoon(std::make_unique<Doomed>(&deaths));
    loop.flushDeletions();
    EXPECT_EQ(deaths, 3);

    loop.deleteSoon(std::make_unique<Doomed>(&deaths));  // the loop never runs again
  }
  EXPECT_EQ(deaths, 4);
}

// Posted work runs on a later turn, in order, what it posts on the turn after; work still
// waiting when the loop goes is dropped.
TEST(DeleteSoon, PostedWorkRunsOnALaterTurnInOrderAndIsDroppedWithTheLoop) {
  std::vector<std::string> ran;
  {
    UvLoop loop;
    CallbackTimer inside([&] {
      loop.post([&] {
        ran.push_back("a");
        loop.post([&] { ran.push_back("c"); });
      });
      loop.post([&] { ran.push_back("b"); });
      EXPECT_TRUE(ran.empty());  // never inside the call that asked
    });
    UvTimer timer(&loop);
    timer.start(0, 0, &inside);
    loop.run();
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
    loop.post([&] { ran.push_back("never"); });
  }
  EXPECT_EQ(ran.size(), 3u);
}

TEST(Liveness, WatchesAndRefsSeeTheEndAndCopiesLiveApart) {
  struct Owned {
    Liveness liveness;
  };
  std::optional<Owned> owned(std::in_place);
  Liveness::Watch watch = owned->liveness.watch();
  Liveness::Ref<Owned> ref(&*owned, owned->liveness);
  Owned copy = *owned;
  Liveness::Watch copyWatch = copy.liveness.watch();
  EXPECT_TRUE(watch.alive());
  EXPECT_EQ(ref.get(), &*owned);
  owned.reset();
  EXPECT_FALSE(watch.alive());
  EXPECT_EQ(ref.get(), nullptr);
  EXPECT_TRUE(copyWatch.alive());
  EXPECT_FALSE(Liveness::Watch().alive());
}
