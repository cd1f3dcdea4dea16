#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvTimer.h"

#include "support/TestSupport.h"

using namespace p2p;
using namespace std::chrono_literals;

using testsupport::failureOf;

namespace {

// Calls a function from a timer callback, then optionally again every repeat.
struct CallbackTimer : UvTimer::Cb {
  std::function<void()> body;
  int fired = 0;
  explicit CallbackTimer(std::function<void()> f) : body(std::move(f)) {}
  void handleTimer() override {
    ++fired;
    body();
  }
};

// Keeps a loop alive for a bounded time so that tests cannot hang.
struct Watchdog : UvTimer::Cb {
  UvLoop* loop;
  UvTimer timer;
  explicit Watchdog(UvLoop* l, int ms = 5000) : loop(l), timer(l) { timer.start(ms, 0, this); }
  void handleTimer() override { loop->stop(); }
};

}  // namespace

TEST(CheckStatus, ThrowsNameCodeAndLibuvMessage) {
  EXPECT_NO_THROW(checkStatus("uv_timer_start", 0));
  EXPECT_EQ(failureOf([] { checkStatus("uv_timer_start", UV_EINVAL); }),
            std::string("uv_timer_start error ") + std::to_string(UV_EINVAL) + " " + uv_strerror(UV_EINVAL));
}

TEST(UvLoop, LoopThreadIsTheOneThatLastRan) {
  UvLoop loop;
  EXPECT_FALSE(loop.executingOnLoop());
  std::thread runner([&] { loop.run(); });
  runner.join();
  EXPECT_FALSE(loop.executingOnLoop());
  loop.run();
  EXPECT_TRUE(loop.executingOnLoop());
}

TEST(UvLoop, NowUsesTheInjectedClock) {
  uint64_t fake = 1234;
  UvLoop loop([&] { return fake; });
  EXPECT_EQ(loop.now(), 1234u);
  fake += 5000;
  EXPECT_EQ(loop.now(), 6234u);
}

TEST(UvLoop, StopFromAnotherThreadEndsRun) {
  UvLoop loop;
  OnLoopExecutor* executor = loop.newOnLoopExecutor();  // keeps the loop busy until stopped
  std::atomic<bool> running{false};
  std::thread stopper([&] {
    while (!running) std::this_thread::sleep_for(1ms);
    loop.stop();
  });
  Watchdog watchdog(&loop);
  auto started = std::make_unique<CallbackTimer>([&] { running = true; });
  UvTimer timer(&loop);
  timer.start(0, 0, started.get());
  loop.run();
  stopper.join();
  EXPECT_TRUE(running);
  delete executor;
}

TEST(UvLoop, StopAskedBeforeRunEndsTheNextRun) {
  UvLoop loop;
  OnLoopExecutor* executor = loop.newOnLoopExecutor();
  std::thread([&] { loop.stop(); }).join();
  Watchdog watchdog(&loop, 3000);
  auto begin = std::chrono::steady_clock::now();
  loop.run();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  delete executor;
}

TEST(UvLoop, ExceptionInCallbackComesOutOfRunAndLoopRunsAgain) {
  UvLoop loop;
  CallbackTimer thrower([] { throw std::runtime_error("boom"); });
  UvTimer timer(&loop);
  timer.start(1, 0, &thrower);
  EXPECT_EQ(failureOf([&] { loop.run(); }), "boom");

  int later = 0;
  CallbackTimer counter([&] { ++later; });
  timer.start(1, 0, &counter);
  EXPECT_NO_THROW(loop.run());
  EXPECT_EQ(later, 1);
}

TEST(UvTimer, OneShotFiresOnceAndRepeatingUntilStopped) {
  UvLoop loop;
  UvTimer once(&loop), repeating(&loop);
  uint64_t started = loop.now(), onceAt = 0;
  CallbackTimer onceCb([&] { onceAt = loop.now(); });
  CallbackTimer repeatCb([] {});
  repeatCb.body = [&] {
    if (repeatCb.fired == 3) repeating.stop();
  };
  once.start(5, 0, &onceCb);
  repeating.start(1, 2, &repeatCb);
  loop.run();
  EXPECT_EQ(onceCb.fired, 1);
  EXPECT_EQ(repeatCb.fired, 3);
  EXPECT_GE(onceAt - started, 5u);  // timers count in loop time
}

TEST(UvTimer, CallbackMayDeleteItsTimer) {
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
  OnLoopExecutor* executor = loop.newOnLoopExecutor();
  Watchdog watchdog(&loop, 20000);
  std::vector<std::vector<int>> seen(Threads);  // touched on the loop thread only
  std::atomic<int> done{0};
  std::atomic<bool> wrongThread{false};

  std::vector<std::thread> callers;
  for (int t = 0; t < Threads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < Calls; ++i) {
        executor->execute(new std::function<void()>([&, t, i] {
          if (!loop.executingOnLoop()) wrongThread = true;
          seen[t].push_back(i);
          if (++done == Threads * Calls) loop.stop();
        }));
      }
    });
  }
  loop.run();
  for (auto& caller : callers) caller.join();
  EXPECT_FALSE(wrongThread);
  for (int t = 0; t < Threads; ++t) {
    ASSERT_EQ(seen[t].size(), size_t(Calls)) << "thread " << t;
    for (int i = 0; i < Calls; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
  delete executor;
}

TEST(OnLoopExecutor, CallOnTheLoopThreadRunsAtOnce) {
  UvLoop loop;
  OnLoopExecutor* executor = loop.newOnLoopExecutor();
  bool ranInline = false;
  CallbackTimer cb([&] {
    bool ran = false;
    executor->execute(new std::function<void()>([&] { ran = true; }));
    ranInline = ran;
    delete executor;
  });
  UvTimer timer(&loop);
  timer.start(0, 0, &cb);
  loop.run();
  EXPECT_TRUE(ranInline);
}

TEST(OnLoopExecutor, FailingFunctionStopsTheLoopWithoutLosingTheRest) {
  UvLoop loop;
  OnLoopExecutor* executor = loop.newOnLoopExecutor();
  int after = 0;
  std::thread([&] {
    executor->execute(new std::function<void()>([] { throw std::runtime_error("bad call"); }));
    executor->execute(new std::function<void()>([&] { ++after; }));
  }).join();
  EXPECT_EQ(failureOf([&] { loop.run(); }), "bad call");
  EXPECT_EQ(after, 1);
  delete executor;
}

TEST(OnLoopExecutor, CallAfterTheLoopIsGoneIsRefused) {
  OnLoopExecutor* executor;
  {
    UvLoop loop;
    executor = loop.newOnLoopExecutor();
  }
  std::atomic<bool> ran{false};
  std::thread([&] { executor->execute(new std::function<void()>([&] { ran = true; })); }).join();
  EXPECT_FALSE(ran);
  delete executor;
}

TEST(UvLoop, ExecuteAsyncRunsOnThePoolAndSurvivesAThrow) {
  UvLoop loop;
  std::atomic<bool> offLoop{false};
  std::atomic<int> ran{0};
  loop.executeAsync(new std::function<void()>([&] {
    offLoop = !loop.executingOnLoop();
    ++ran;
  }));
  loop.executeAsync(new std::function<void()>([&] {
    ++ran;
    throw std::runtime_error("listener failed");
  }));
  EXPECT_NO_THROW(loop.run());  // returns once both completions ran
  EXPECT_EQ(ran, 2);
  EXPECT_TRUE(offLoop);
}

TEST(UvLoop, DestroyedWithHandlesAndPoolWorkStillAliveShutsDownCleanly) {
  std::atomic<bool> workFinished{false};
  UvTimer* orphanTimer;
  OnLoopExecutor* orphanExecutor;
  CallbackTimer never([] {});
  {
    UvLoop loop;
    orphanTimer = new UvTimer(&loop);
    orphanTimer->start(100000, 0, &never);
    orphanExecutor = loop.newOnLoopExecutor();
    // A raw handle that no object owns any more.
    auto* raw = allocUv<uv_timer_t>();
    uv_timer_init(loop.uvLoop(), raw);
    uv_timer_start(raw, [](uv_timer_t*) {}, 100000, 0);
    loop.executeAsync(new std::function<void()>([&] {
      std::this_thread::sleep_for(50ms);
      workFinished = true;
    }));
  }
  EXPECT_TRUE(workFinished);
  // The objects outlived their loop: using and deleting them must be harmless.
  orphanTimer->stop();
  delete orphanTimer;
  delete orphanExecutor;
  EXPECT_EQ(never.fired, 0);
}
