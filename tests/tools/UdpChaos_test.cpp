#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "p2p/messages/Close.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvTimer.h"
#include "tools/udp-chaos/UdpChaos.h"

using namespace p2p;
using udpchaos::UdpChaos;
using Clock = std::chrono::steady_clock;

namespace {

std::string text(const SocketAddress& address) {
  std::ostringstream out;
  out << address;
  return out.str();
}

// What one router is offered: the channel id that numbers each message, with sender and time.
struct Inbox : UdpRouter::Cb {
  std::vector<int> ids;
  std::vector<std::string> from;
  std::vector<Clock::time_point> at;
  bool handleRouter(Message* m, const SocketAddress& sender) override {
    ids.push_back(m->getChannelId());
    from.push_back(text(sender));
    at.push_back(Clock::now());
    return true;
  }
};

// Two real routers on one loop, each believing the chaos relay and reaching the other through it.
struct Peers : UvTimer::Cb {
  explicit Peers(const UdpChaos::Options& options) : chaos(options) {
    for (UdpRouter* r : {&a, &b}) r->addRelay(chaos.address());
    a.addListener(&inA);
    b.addListener(&inB);
  }
  ~Peers() override {
    a.removeListener(&inA);
    b.removeListener(&inB);
  }

  SocketAddress addressOf(UdpRouter& r) const { return SocketAddress("127.0.0.1", r.getUdp()->getPort()); }
  SocketAddress viaChaos(UdpRouter& r) const {
    SocketAddress to = addressOf(r);
    to.setProxy(chaos.address().getSockaddr());
    return to;
  }
  void send(UdpRouter& from, UdpRouter& to, int id) {
    Close m(id);
    from.send(&m, viaChaos(to));
  }

  // Sends `count` numbered messages from a to b, a few per millisecond so that no socket overflows,
  // and runs until the relay has settled every one and b holds all it forwarded.
  bool stream(int count, int perTick = 20) {
    total = count;
    sent = 0;
    UvTimer timer(&loop);
    timer.start(0, 1, this);
    return runUntil([&] {
      const UdpChaos::Counters c = chaos.counters(addressOf(a), addressOf(b));
      return c.received == static_cast<uint64_t>(count) && c.forwarded + c.dropped == c.received + c.duplicated &&
             inB.ids.size() == c.forwarded;
    }, perTick);
  }
  void handleTimer() override {
    for (int i = 0; i < burst && sent < total; ++i) send(a, b, sent++);
  }

  bool runUntil(const std::function<bool()>& done, int perTick = 20) {
    burst = perTick;
    struct Poll : UvTimer::Cb {
      UvLoop& loop;
      const std::function<bool()>& done;
      Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
      Poll(UvLoop& l, const std::function<bool()>& d) : loop(l), done(d) {}
      void handleTimer() override {
        if (done() || Clock::now() > deadline) loop.stop();
      }
    } poll(loop, done);
    UvTimer timer(&loop);
    timer.start(1, 1, &poll);
    loop.run();
    return done();
  }

  UvLoop loop;
  UdpChaos chaos;
  UdpRouter a{&loop};
  UdpRouter b{&loop};
  Inbox inA, inB;
  int total = 0, sent = 0, burst = 20;
};

UdpChaos::Options withChaos(double loss, double duplicate, double reorder) {
  UdpChaos::Options o;
  o.seed = 7;
  o.loss = loss;
  o.duplicate = duplicate;
  o.reorder = reorder;
  return o;
}

}  // namespace

TEST(UdpChaos, RelaysBothWaysNamingTheSenderBehindTheRelay) {
  Peers p(UdpChaos::Options{});
  for (int i = 0; i < 50; ++i) {
    p.send(p.a, p.b, i);
    p.send(p.b, p.a, 100 + i);
  }
  Close plain(1);
  p.a.send(&plain, p.chaos.address());  // no prefix
  SocketAddress itself = p.chaos.address();  // a prefix naming the relay would loop for ever
  itself.setProxy(p.chaos.address().getSockaddr());
  p.a.send(&plain, itself);
  ASSERT_TRUE(p.runUntil([&] { return p.inA.ids.size() == 50 && p.inB.ids.size() == 50 && p.chaos.invalid() == 2; }));

  const std::string relay = " proxy=127.0.0.1:" + std::to_string(p.chaos.port());
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(p.inB.ids[i], i);
    EXPECT_EQ(p.inA.ids[i], 100 + i);
    EXPECT_EQ(p.inB.from[i], text(p.addressOf(p.a)) + relay);
    EXPECT_EQ(p.inA.from[i], text(p.addressOf(p.b)) + relay);
  }
  for (auto [from, to] : {std::make_pair(&p.a, &p.b), std::make_pair(&p.b, &p.a)}) {
    const UdpChaos::Counters c = p.chaos.counters(p.addressOf(*from), p.addressOf(*to));
    EXPECT_EQ(c.received, 50u);
    EXPECT_EQ(c.forwarded, 50u);
    EXPECT_EQ(c.dropped + c.duplicated + c.reordered, 0u);
  }
}

TEST(UdpChaos, SeededLossDuplicationAndReorderingShowAtTheReceiver) {
  const int n = 1000;
  struct Case {
    const char* name;
    UdpChaos::Options options;
  };
  for (const Case& k : {Case{"loss", withChaos(0.2, 0, 0)}, Case{"duplicate", withChaos(0, 0.2, 0)},
                        Case{"reorder", withChaos(0, 0, 0.2)}}) {
    SCOPED_TRACE(k.name);
    std::vector<int> firstRun;
    for (int run = 0; run < 2; ++run) {
      Peers p(k.options);
      ASSERT_TRUE(p.stream(n));
      const UdpChaos::Counters c = p.chaos.counters(p.addressOf(p.a), p.addressOf(p.b));
      const std::vector<int>& ids = p.inB.ids;
      // The spared opening datagrams always arrive first.
      EXPECT_EQ(ids[0], 0);
      EXPECT_EQ(ids[1], 1);
      uint64_t descents = 0;
      std::vector<int> seen(n, 0);
      for (size_t i = 0; i < ids.size(); ++i) {
        ++seen[ids[i]];
        if (i > 0 && ids[i] < ids[i - 1]) ++descents;
      }
      const uint64_t missing = std::count(seen.begin(), seen.end(), 0);
      const uint64_t extra = ids.size() + missing - n;
      EXPECT_EQ(missing, c.dropped);
      EXPECT_EQ(extra, c.duplicated);
      EXPECT_EQ(descents, c.reordered);
      const uint64_t effect = c.dropped + c.duplicated + c.reordered;
      EXPECT_NEAR(static_cast<double>(effect), 0.2 * n, 0.05 * n);
      EXPECT_EQ(effect, std::max({c.dropped, c.duplicated, c.reordered}));  // only the chosen harm
      // The same seed harms the same datagrams.
      if (run == 0) firstRun = ids;
      else EXPECT_EQ(ids, firstRun);
    }
  }
}

TEST(UdpChaos, DelayHoldsEveryDatagramAtLeastItsTime) {
  UdpChaos::Options o;
  o.delayMs = 30;
  Peers p(o);
  std::vector<Clock::time_point> sentAt;
  ASSERT_TRUE(p.runUntil([&] {
    if (sentAt.size() < 5) {
      sentAt.push_back(Clock::now());
      p.send(p.a, p.b, static_cast<int>(sentAt.size()) - 1);
    }
    return p.inB.ids.size() == 5;
  }));
  for (size_t i = 0; i < 5; ++i) {
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(p.inB.at[i] - sentAt[p.inB.ids[i]]);
    EXPECT_GE(took.count(), 30000);
    EXPECT_LT(took.count(), 200000);
  }
}
