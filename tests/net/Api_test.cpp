#include "net/Api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
  CountedEvent(int commandId, std::atomic<int>* freedCounter)
      : Event(Api::COMMAND_RAISE, commandId), freed(freedCounter) {}
  ~CountedEvent() override { ++*freed; }
};

// Records the order of arrival and whether two deliveries ever overlapped; frees each event.
struct RecordingListener : Api::Listener {
  p2p::UvLoop* loop = nullptr;
  std::mutex receivedLock;  // so that overlapping deliveries fail the test, not the heap
  std::vector<int> received;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> onLoopThread{false};
  std::atomic<int> count{0};

  void onEvent(Api::Event* event) override {
    std::unique_ptr<Api::Event> owned(event);
    if (inFlight.fetch_add(1) != 0) overlapped = true;
    if (loop && loop->executingOnLoop()) onLoopThread = true;
    {
      std::lock_guard<std::mutex> lock(receivedLock);
      received.push_back(event->commandId);
    }
    ++count;
    inFlight.fetch_sub(1);
  }
};

// A loop whose thread is the test's own: notify is then called "on the loop thread", and
// running the loop again waits for the pool deliveries to complete.
struct ApiDelivery : ::testing::Test {
  p2p::UvLoop loop;
  void SetUp() override { loop.run(); }
  void finishDeliveries() { loop.run(); }
};
using ApiShutdown = ApiDelivery;

struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  bool open = false;
  void release() {
    std::lock_guard<std::mutex> guard(lock);
    open = true;
    changed.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return open; });
  }
};

template <class Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

}  // namespace

TEST(ApiEvent, RecordsCarryTheirTypeAndFields) {
  Api::SendRecvEvent progress(7, "code", "name", "path", "from", "to", 100, 50, 10, "");
  EXPECT_EQ(progress.type, Api::SEND_RECV);
  EXPECT_EQ(progress.commandId, 7);
  EXPECT_EQ(progress.localPath, "path");
  EXPECT_EQ(progress.fileName, "name");
  EXPECT_EQ(progress.fromUsername, "from");
  EXPECT_EQ(progress.toUsername, "to");
  EXPECT_EQ(progress.size, 100);
  EXPECT_EQ(progress.offset, 50);
  EXPECT_EQ(progress.bytesSec, 10);

  Api::SendRecvEvent copy(progress);
  copy.offset = 100;
  copy.reason = "Paused";
  EXPECT_EQ(progress.offset, 50);
  EXPECT_EQ(progress.reason, "");
  EXPECT_EQ(copy.code, "code");

  Api::LoginEvent login(0, "user", 3, "why");
  EXPECT_EQ(login.status, 3);
  EXPECT_EQ(login.username, "user");
  EXPECT_EQ(login.reason, "why");
  EXPECT_EQ(Api::ErrorEvent(4, std::runtime_error("boom")).error, "boom");
  EXPECT_EQ(Api::TicketGetEvent(5, "c", {"a", "b"}, "").paths, (std::vector<std::string>{"a", "b"}));
}

TEST(ApiEvent, EachClassSetsItsTypeAndUnsolicitedEventsCarryZero) {
  std::runtime_error failure("x");
  std::vector<std::unique_ptr<Api::Event>> events;
  events.emplace_back(new Api::StartEvent());
  events.emplace_back(new Api::ErrorEvent(1, failure));
  events.emplace_back(new Api::LoginEvent(2, "u", 0, ""));
  events.emplace_back(new Api::TicketCreateEvent(3, "c", ""));
  events.emplace_back(new Api::TicketGetEvent(4, "c", {}, ""));
  events.emplace_back(new Api::SendRecvEvent(5, "c", "f", "p", "a", "b", 1, 0, 0, ""));
  events.emplace_back(new Api::Oauth2ResponseEvent(6, "u", ""));
  events.emplace_back(new Api::NewUserEvent(7, "u", 1, ""));
  events.emplace_back(new Api::ForgotPasswordEvent(8, "u", 1, ""));
  events.emplace_back(new Api::CommandRecvEvent(9, "t"));
  events.emplace_back(new Api::Event(Api::COMMAND_RAISE));
  events.emplace_back(new Api::Event(Api::USER_UNDEFINED, 11));
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]->type, static_cast<Api::EventType>(i));
    EXPECT_EQ(events[i]->commandId, i == 0 || i == 10 ? 0 : static_cast<int>(i));
  }
  // Freed through the base here: ASan reports any part of a record left behind.
}

TEST_F(ApiDelivery, WithoutListenerOrLoopEventsAreFreedAndNothingIsCalled) {
  std::atomic<int> freed{0};
  RecordingListener listener;
  {
    Api noListener;
    noListener.notify(new CountedEvent(1, &freed));
    noListener.notify(nullptr);
  }
  Api noLoop;
  noLoop.setListener(&listener);
  noLoop.notify(new CountedEvent(2, &freed));
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(listener.count, 0);
}

TEST_F(ApiDelivery, BurstArrivesInOrderOneAtATimeOffTheLoopThread) {
  constexpr int kEvents = 10000;
  RecordingListener listener;
  listener.loop = &loop;
  Api api;
  api.setEventLoop(&loop);
  api.setListener(&listener);
  for (int i = 1; i <= kEvents; ++i) api.notify(new Api::Event(Api::COMMAND_RAISE, i));
  finishDeliveries();

  ASSERT_EQ(listener.received.size(), static_cast<size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) ASSERT_EQ(listener.received[i], i + 1) << "at position " << i;
  EXPECT_FALSE(listener.overlapped);
  EXPECT_FALSE(listener.onLoopThread);
}

TEST_F(ApiDelivery, ListenerReceivesTheVeryEventsEmittedAndOwnsThem) {
  struct Keeper : Api::Listener {
    std::vector<std::unique_ptr<Api::Event>> kept;
    void onEvent(Api::Event* event) override { kept.emplace_back(event); }
  } keeper;
  Api api;
  api.setEventLoop(&loop);
  api.setListener(&keeper);
  std::vector<Api::Event*> sent;
  for (int i = 0; i < 100; ++i) {
    sent.push_back(new Api::SendRecvEvent(0, "code", "file", "path", "a", "b", 100, i, 1, ""));
    api.notify(sent.back());
  }
  finishDeliveries();
  ASSERT_EQ(keeper.kept.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(keeper.kept[i].get(), sent[i]);
  // keeper frees them; a double free by the Api would show under ASan
}

TEST_F(ApiDelivery, NoEventReachesAListenerAfterSetListenerNullReturns) {
  constexpr int kEvents = 10000;
  struct Detachable : Api::Listener {
    std::atomic<bool> detached{false};
    std::atomic<int> count{0};
    std::atomic<int> lateCalls{0};
    void onEvent(Api::Event* event) override {
      delete event;
      ++count;
      std::this_thread::sleep_for(20us);  // keep the burst going while the other thread acts
      if (detached) ++lateCalls;          // still running after setListener returned
    }
  } listener;
  std::atomic<int> freed{0};
  Api api;
  api.setEventLoop(&loop);
  api.setListener(&listener);
  std::thread detacher([&] {
    waitFor([&] { return listener.count >= 50; });
    api.setListener(nullptr);
    listener.detached = true;
  });
  for (int i = 1; i <= kEvents; ++i) api.notify(new CountedEvent(i, &freed));
  detacher.join();
  finishDeliveries();

  EXPECT_EQ(listener.lateCalls, 0);
  EXPECT_GE(listener.count, 50);
  EXPECT_LT(listener.count, kEvents);
  EXPECT_EQ(freed, kEvents);  // the undelivered rest was freed as well
}

TEST_F(ApiDelivery, ListenerMayHandOverToAnotherFromInsideOnEvent) {
  RecordingListener second;
  struct HandingOver : RecordingListener {
    Api* api = nullptr;
    Api::Listener* next = nullptr;
    void onEvent(Api::Event* event) override {
      bool last = event->commandId == 5;
      RecordingListener::onEvent(event);
      if (last) api->setListener(next);  // must not deadlock on the delivery in progress
    }
  } first;
  Api api;
  first.api = &api;
  first.next = &second;
  api.setEventLoop(&loop);
  api.setListener(&first);
  for (int i = 1; i <= 10; ++i) api.notify(new Api::Event(Api::COMMAND_RAISE, i));
  finishDeliveries();
  EXPECT_EQ(first.received, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(second.received, (std::vector<int>{6, 7, 8, 9, 10}));
}

TEST_F(ApiDelivery, ThrowingListenerDoesNotStopDelivery) {
  struct Throwing : RecordingListener {
    void onEvent(Api::Event* event) override {
      int id = event->commandId;
      RecordingListener::onEvent(event);
      if (id % 3 == 0) throw std::runtime_error("listener fails on purpose");
      if (id == 10) throw 42;
    }
  } listener;
  Api api;
  api.setEventLoop(&loop);
  api.setListener(&listener);
  for (int i = 1; i <= 12; ++i) api.notify(new Api::Event(Api::COMMAND_RAISE, i));
  finishDeliveries();
  EXPECT_EQ(listener.received, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

namespace {

// Holds its first event until released, so that later events pile up in the queue.
struct BlockingListener : Api::Listener {
  Gate gate;
  std::atomic<int> delivered{0};
  std::atomic<bool> blocked{false};
  void onEvent(Api::Event* event) override {
    if (++delivered == 1) {
      blocked = true;
      gate.wait();
    }
    delete event;
  }
};

// Emits one event that blocks the listener, then `queued` more behind it; once those are
// freed, a helper thread releases the listener.
struct QueuedAtShutdown {
  BlockingListener listener;
  std::atomic<int> freed{0};
  std::thread releaser;
  int queued;

  QueuedAtShutdown(Api& api, int queuedEvents) : queued(queuedEvents) {
    api.setListener(&listener);
    api.notify(new CountedEvent(1, &freed));
    EXPECT_TRUE(waitFor([&] { return listener.blocked.load(); }));
    for (int i = 0; i < queued; ++i) api.notify(new CountedEvent(2 + i, &freed));
    releaser = std::thread([this] {
      EXPECT_TRUE(waitFor([&] { return freed >= queued; }));
      listener.gate.release();
    });
  }
  ~QueuedAtShutdown() {
    if (releaser.joinable()) releaser.join();
  }
};

}  // namespace

TEST_F(ApiShutdown, EventsQueuedWhenTheApiIsDestroyedAreFreedNotDelivered) {
  auto api = std::make_unique<Api>();
  api->setEventLoop(&loop);
  QueuedAtShutdown scene(*api, 100);
  api.reset();  // frees the queue at once, then waits for the delivery in progress
  scene.releaser.join();
  finishDeliveries();
  EXPECT_EQ(scene.listener.delivered, 1);
  EXPECT_EQ(scene.freed, 101);
}

TEST_F(ApiShutdown, EventsQueuedWhenTheLoopIsDestroyedAreFreedNotDelivered) {
  auto ownLoop = std::make_unique<p2p::UvLoop>();
  ownLoop->run();
  Api api;
  api.setEventLoop(ownLoop.get());
  QueuedAtShutdown scene(api, 100);
  ownLoop.reset();  // frees the queue, then waits for the pool job to complete
  scene.releaser.join();
  EXPECT_EQ(scene.listener.delivered, 1);
  EXPECT_EQ(scene.freed, 101);

  std::atomic<int> freedLater{0};
  api.notify(new CountedEvent(200, &freedLater));  // no loop any more: dropped
  EXPECT_EQ(freedLater, 1);
  EXPECT_EQ(scene.listener.delivered, 1);
}
