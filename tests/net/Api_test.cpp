#include "net/Api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "p2p/uv/UvLoop.h"

using net::Api;
using namespace std::chrono_literals;

namespace {

// Counts its own destruction, so a test can tell freed events from leaked or delivered ones.
struct CountedEvent : Api::Event {
  std::atomic<int>* freed;
  CountedEvent(int commandId, std::atomic<int>* counter) : Event(Api::COMMAND_RAISE, commandId), freed(counter) {}
  ~CountedEvent() override { ++*freed; }
};

// Keeps every event it gets and notes a delivery that overlaps another or runs on the loop
// thread; `after` runs at the end of each delivery.
struct Keeper : Api::Listener {
  p2p::UvLoop* loop = nullptr;
  std::mutex lock;  // so that overlapping deliveries fail the test, not the heap
  std::vector<std::unique_ptr<Api::Event>> kept;
  std::atomic<int> inFlight{0}, count{0};
  std::atomic<bool> misdelivered{false};
  std::function<void(int)> after;

  void onEvent(Api::Event* event) override {
    if (inFlight++ != 0 || (loop && loop->executingOnLoop())) misdelivered = true;
    std::unique_lock<std::mutex> guard(lock);
    kept.emplace_back(event);
    guard.unlock();
    ++count;
    --inFlight;
    if (after) after(event->commandId);
  }
  std::vector<int> ids() {
    std::vector<int> result;
    for (const auto& event : kept) result.push_back(event->commandId);
    return result;
  }
};

template <class Predicate>
bool waitFor(Predicate done) {
  for (auto end = std::chrono::steady_clock::now() + 5s; !done(); std::this_thread::sleep_for(1ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// The loop's thread is the test's own: notify is then called "on the loop thread", and running
// the loop again waits for the pool deliveries to complete.
struct ApiDelivery : ::testing::Test {
  p2p::UvLoop loop;
  Api api;
  void SetUp() override {
    loop.run();
    api.setEventLoop(&loop);
  }
};

}  // namespace

TEST_F(ApiDelivery, EventsWithNowhereToGoAreFreedAndABurstArrivesInOrderOffTheLoop) {
  std::atomic<int> freed{0};
  api.notify(new CountedEvent(1, &freed));  // no listener yet: freed
  api.notify(nullptr);
  Keeper keeper;
  Api noLoop;  // nowhere to deliver: freed
  noLoop.setListener(&keeper);
  noLoop.notify(new CountedEvent(2, &freed));
  EXPECT_EQ(freed, 2);

  keeper.loop = &loop;
  api.setListener(&keeper);
  std::vector<Api::Event*> sent;
  for (int i = 0; i < 10000; ++i) {
    sent.push_back(new Api::Event(Api::COMMAND_RAISE, i));
    api.notify(sent.back());
  }
  loop.run();
  ASSERT_EQ(keeper.kept.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(keeper.kept[i].get(), sent[i]) << "at " << i;
  EXPECT_FALSE(keeper.misdelivered);
  // keeper frees them: a double free by the Api shows under ASan
}

TEST_F(ApiDelivery, NoEventReachesAListenerAfterSetListenerNullReturns) {
  constexpr int kEvents = 10000;
  Keeper listener;
  std::atomic<bool> detached{false};
  std::atomic<int> late{0}, freed{0};
  listener.after = [&](int) {
    std::this_thread::sleep_for(20us);  // keeps the burst going while the other thread acts
    if (detached) ++late;               // still running after setListener returned
  };
  api.setListener(&listener);
  std::thread detacher([&] {
    waitFor([&] { return listener.count >= 50; });
    api.setListener(nullptr);
    detached = true;
  });
  for (int i = 1; i <= kEvents; ++i) api.notify(new CountedEvent(i, &freed));
  detacher.join();
  loop.run();
  EXPECT_EQ(late, 0);
  EXPECT_GE(listener.count, 50);
  EXPECT_LT(listener.count, kEvents);
  EXPECT_EQ(freed + listener.count, kEvents);  // the undelivered rest was freed
}

TEST_F(ApiDelivery, ThrowingOrHandingOverFromInsideOnEventDoesNotStopDelivery) {
  Keeper first, second;
  first.after = [&](int id) {
    if (id == 5) api.setListener(&second);  // must not deadlock on the delivery in progress
    if (id % 3 == 0) throw std::runtime_error("listener fails on purpose");
    if (id == 4) throw 42;
  };
  api.setListener(&first);
  for (int i = 1; i <= 10; ++i) api.notify(new Api::Event(Api::COMMAND_RAISE, i));
  loop.run();
  EXPECT_EQ(first.ids(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(second.ids(), (std::vector<int>{6, 7, 8, 9, 10}));
}

// The listener holds its first event until the Api (or the loop) is gone, so that the rest wait
// in the queue: they are freed, not delivered, and the teardown waits for the delivery in progress.
TEST(ApiShutdown, EventsQueuedWhenTheApiOrTheLoopGoesAreFreedNotDelivered) {
  for (bool loopGoesFirst : {false, true}) {
    Keeper listener;
    std::atomic<bool> released{false};
    listener.after = [&](int id) {
      if (id == 0) waitFor([&] { return released.load(); });
    };
    std::atomic<int> freed{0};
    auto loop = std::make_unique<p2p::UvLoop>();
    loop->run();
    auto api = std::make_unique<Api>();
    api->setEventLoop(loop.get());
    api->setListener(&listener);
    api->notify(new CountedEvent(0, &freed));
    EXPECT_TRUE(waitFor([&] { return listener.count == 1; }));
    for (int i = 1; i <= 100; ++i) api->notify(new CountedEvent(i, &freed));
    std::thread releaser([&] {
      EXPECT_TRUE(waitFor([&] { return freed >= 100; })) << loopGoesFirst;
      released = true;
    });
    if (loopGoesFirst) {
      loop.reset();
      api->notify(new CountedEvent(200, &freed));  // no loop any more: dropped
    } else {
      api.reset();
      loop->run();
    }
    releaser.join();
    EXPECT_EQ(listener.count, 1) << loopGoesFirst;
    EXPECT_EQ(freed, 100 + loopGoesFirst) << loopGoesFirst;
  }
}
