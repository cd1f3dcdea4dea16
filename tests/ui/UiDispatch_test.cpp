#include "ui/UiDispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ui/EventForwarder.h"

namespace {

std::atomic<int> eventsFreed{0};

// An engine event that counts its own destruction.
template <typename Base>
struct Counted : Base {
  using Base::Base;
  ~Counted() override { ++eventsFreed; }
};

struct Table : UiDispatch::Table {
  std::vector<std::string> calls;
  void onStart() override { calls.push_back("start"); }
  void onApiError(const net::Api::ErrorEvent& e) override { calls.push_back("error " + e.error); }
  void onLogin(const UiEvent&) override { calls.push_back("login"); }
  void onSendRecv(const UiEvent&) override { calls.push_back("sendrecv"); }
  void onCommandRecv(const net::Api::CommandRecvEvent& e) override { calls.push_back("recv " + e.ticket); }
  void onCommandRaise() override { calls.push_back("raise"); }
  void onUserUndefined() override { calls.push_back("undefined"); }
};

struct Listener : UiEventListener {
  bool handles = true;
  std::vector<int> seen;
  bool OnUiEvent(const UiEvent& event) override {
    seen.push_back(event.event->commandId);
    return handles;
  }
};

class UiDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { eventsFreed = 0; }
  void dispatch(net::Api::Event* e) {
    UiEvent event(UiEventType, 0, e);
    dispatcher.dispatch(event);
    EXPECT_FALSE(event.event);
  }
  Table table;
  UiDispatch dispatcher{table};
};

TEST_F(UiDispatchTest, CommandIdsCountFromOneAndOnlyTheirListenerHearsThem) {
  Listener page, tray;
  EXPECT_EQ(dispatcher.newCommand(&page), 1);
  EXPECT_EQ(dispatcher.newCommand(&tray), 2);
  tray.handles = false;

  dispatch(new Counted<net::Api::TicketCreateEvent>(1, "CODE", ""));  // handled by its listener
  dispatch(new Counted<net::Api::ErrorEvent>(2, std::runtime_error("boom")));  // left to the table
  dispatch(new Counted<net::Api::CommandRecvEvent>(0, "ABCDEF"));  // id 0: never a listener's
  dispatch(new Counted<net::Api::TicketGetEvent>(7, "X", {}, ""));  // nobody asked: dropped
  EXPECT_EQ(page.seen, std::vector<int>{1});
  EXPECT_EQ(tray.seen, std::vector<int>{2});
  EXPECT_EQ(table.calls, (std::vector<std::string>{"error boom", "recv ABCDEF"}));
  EXPECT_EQ(eventsFreed, 4);

  dispatcher.removeCommand(1);
  dispatcher.removeCommand(99);  // absent: nothing happens
  dispatch(new Counted<net::Api::TicketCreateEvent>(1, "LATE", ""));
  EXPECT_EQ(page.seen, std::vector<int>{1});
  EXPECT_EQ(dispatcher.commandCount(), 1u);
  EXPECT_EQ(eventsFreed, 5);
}

TEST_F(UiDispatchTest, TheTableByType) {
  dispatch(new Counted<net::Api::StartEvent>());
  dispatch(new Counted<net::Api::LoginEvent>(0, "a@b.cd", 1, "refused"));
  dispatch(new Counted<net::Api::SendRecvEvent>(0, "C", "f", "/f", "a", "b", 1, 1, 1, ""));
  dispatch(new Counted<net::Api::Event>(net::Api::COMMAND_RAISE));
  dispatch(new Counted<net::Api::Event>(net::Api::USER_UNDEFINED));
  for (auto type : {net::Api::OAUTH2_RESPONSE, net::Api::NEW_USER, net::Api::FORGOT_PASSWORD})
    dispatch(new Counted<net::Api::Event>(type));
  EXPECT_EQ(table.calls, (std::vector<std::string>{"start", "login", "sendrecv", "raise", "undefined"}));
  EXPECT_EQ(eventsFreed, 8);
}

TEST_F(UiDispatchTest, AListenerThatThrowsStillFreesTheEventOnce) {
  struct Thrower : UiEventListener {
    bool OnUiEvent(const UiEvent&) override { throw std::runtime_error("page failed"); }
  } thrower;
  const int id = dispatcher.newCommand(&thrower);
  UiEvent event(UiEventType, 0, new Counted<net::Api::TicketCreateEvent>(id, "C", ""));
  UiEvent* clone = static_cast<UiEvent*>(event.Clone());  // a copy shares, never duplicates
  EXPECT_THROW(dispatcher.dispatch(event), std::runtime_error);
  EXPECT_EQ(eventsFreed, 0);
  delete clone;
  EXPECT_EQ(eventsFreed, 0);
  event.event.reset();
  EXPECT_EQ(eventsFreed, 1);
}

TEST(EventForwarderTest, ForwardsUntilClosedThenFrees) {
  eventsFreed = 0;
  std::atomic<int> forwarded{0};
  EventForwarder forwarder([&](net::Api::Event* e) {
    ++forwarded;
    delete e;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) forwarder.onEvent(new Counted<net::Api::StartEvent>());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(forwarded, 400);
  forwarder.close();
  forwarder.onEvent(new Counted<net::Api::StartEvent>());
  EXPECT_EQ(forwarded, 400);
  EXPECT_EQ(eventsFreed, 401);
}

}  // namespace
