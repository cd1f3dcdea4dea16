#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "p2p/messages/Close.h"
#include "p2p/messages/Codec.h"
#include "p2p/messages/Data.h"
#include "p2p/messages/Proxy.h"
#include "p2p/processes/UdpRouter.h"

#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace p2p;

using testsupport::runUntil;
using Texts = std::vector<std::string>;

namespace {

std::string text(const SocketAddress& address) {
  std::ostringstream out;
  out << address;
  return out.str();
}

SocketAddress addressOf(UdpRouter& router) { return SocketAddress("127.0.0.1", router.getUdp()->getPort()); }

std::string wire(Message& m) {
  ByteBuffer buffer(4096);
  m.encode(buffer);
  return std::string(reinterpret_cast<char*>(buffer.array()), buffer.position());
}

std::string proxyNaming(const SocketAddress& peer) {
  Proxy proxy;
  proxy.setAddress(peer.getSockaddr());
  return wire(proxy);
}

std::string codecThen(int8_t key, std::string inner) {
  Codec codec;
  codec.key = key;
  for (char& c : inner) c = static_cast<char>(c ^ key);
  return wire(codec) + inner;
}

std::string closeWith(const std::string& reason, int32_t channelId = 1) {
  Close close(channelId);
  close.reason = reason;
  return wire(close);
}

// A plain socket on 127.0.0.1, to craft datagrams and to play a relay.
struct RawSocket : servertest::UdpPeer {
  SocketAddress address{"127.0.0.1", port};
  void sendTo(const SocketAddress& to, const std::string& bytes) const {
    sendRaw({bytes.begin(), bytes.end()}, to.getPort());
  }
  bool readable() const {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }
  std::string receive() const {
    const std::optional<std::vector<int8_t>> bytes = UdpPeer::receive(0);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "";
  }
};

// Records each message it is offered ("close <reason>", "data <payload>" or the dump) and its sender.
struct Recorder : UdpRouter::Cb {
  Texts what;
  std::vector<SocketAddress> from;
  std::function<void(const SocketAddress&)> then;

  bool handleRouter(Message* m, const SocketAddress& sender) override {
    std::ostringstream seen;
    if (m->getOpcode() == Message::close) {
      seen << "close " << static_cast<Close*>(m)->reason;
    } else if (m->getOpcode() == Message::data) {
      ByteBuffer* payload = static_cast<Data*>(m)->dataBuffer;
      seen << "data "
           << std::string(reinterpret_cast<char*>(payload->array()) + payload->position(),
                          static_cast<size_t>(payload->remaining()));
    } else {
      seen << *m;
    }
    what.push_back(seen.str());
    from.push_back(sender);
    if (then) then(sender);
    return true;
  }
  bool got(const std::string& w) const { return std::count(what.begin(), what.end(), w) > 0; }
};

}  // namespace

TEST(UdpRouter, TwoRoutersExchangeWhatFitsIntoADatagramAndDropTheRest) {
  UvLoop loop;
  UdpRouter a(&loop);
  UdpRouter b(&loop);
  EXPECT_GE(a.getUdp()->getPort(), 50000);
  EXPECT_LE(a.getUdp()->getPort(), 51000);
  Recorder atB;
  b.addListener(&atB);
  RawSocket relay;
  SocketAddress viaRelay = relay.address;
  viaRelay.setProxy(relay.address.getSockaddr());

  // A Close holds one string; behind a relay the Proxy prefix takes 30 bytes of the room.
  const std::string fits(UdpRouter::MTU_LENGTH - UdpRouter::HEADER_LENGTH - 4, 'f');
  const std::string fitsRelayed = fits.substr(30);
  Close close(1);
  for (const auto& [reason, to] : std::vector<std::pair<std::string, SocketAddress>>{{fits + "!", addressOf(b)},
                                                                                     {fits, addressOf(b)},
                                                                                     {fitsRelayed + "!", viaRelay},
                                                                                     {fitsRelayed, viaRelay},
                                                                                     {fits, SocketAddress()}}) {
    close.reason = reason;
    EXPECT_NO_THROW(a.send(&close, to));
  }
  std::string payload(2000, 'x');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  ByteBuffer source(reinterpret_cast<int8_t*>(&payload[0]), static_cast<int32_t>(payload.size()));
  Data data(5, 77, &source);
  a.send(&data, addressOf(b));  // the payload is cut to the room, the rest stays
  EXPECT_EQ(source.position(), UdpRouter::MTU_LENGTH - UdpRouter::HEADER_LENGTH);

  ASSERT_TRUE(runUntil(loop, [&] { return atB.what.size() == 2 && relay.readable(); }));
  EXPECT_EQ(atB.what, (Texts{"close " + fits, "data " + payload.substr(0, source.position())}));
  EXPECT_EQ(text(atB.from[0]), text(addressOf(a)));
  EXPECT_EQ(relay.receive().size(), static_cast<size_t>(UdpRouter::MTU_LENGTH));
  EXPECT_FALSE(relay.readable());
}

TEST(UdpRouter, ProxyAndCodecAreUnwrappedOnlyFromAKnownRelayAndTheAnswerGoesBackThroughIt) {
  UvLoop loop;
  UdpRouter router(&loop);
  Recorder seen;
  router.addListener(&seen);
  RawSocket relay, stranger;
  const SocketAddress peer("5.6.7.8", 9000);
  const SocketAddress to = addressOf(router);
  router.addRelay(relay.address);
  EXPECT_FALSE(router.isRelay(SocketAddress("127.0.0.2", relay.address.getPort())));

  const std::string relayed = proxyNaming(peer) + codecThen(0x5A, closeWith("inner"));
  relay.sendTo(to, relayed);
  stranger.sendTo(to, relayed);                                          // anyone can write a prefix
  relay.sendTo(to, codecThen(-3, proxyNaming(peer) + closeWith("x")));  // a Proxy behind a Codec is the message
  relay.sendTo(to, codecThen(0x11, closeWith("codec only")));
  ASSERT_TRUE(runUntil(loop, [&] { return seen.got("close codec only"); }));
  router.removeRelay(relay.address);
  relay.sendTo(to, relayed);
  relay.sendTo(to, closeWith("end"));
  ASSERT_TRUE(runUntil(loop, [&] { return seen.got("close end"); }));

  EXPECT_EQ(seen.what, (Texts{"close inner", "Proxy channelId:0 sequence:0 5.6.7.8:9000", "close codec only",
                              "close end"}));
  EXPECT_EQ(text(seen.from[0]), "SocketAddress=5.6.7.8:9000 proxy=" + text(relay.address).substr(14));
  EXPECT_EQ(text(seen.from[1]), text(relay.address));

  // The pair {peer, relay} is answered at the relay, behind a Proxy naming the peer.
  Close answer(4);
  answer.reason = "back";
  router.send(&answer, seen.from[0]);
  ASSERT_TRUE(runUntil(loop, [&] { return relay.readable(); }));
  EXPECT_EQ(relay.receive(), proxyNaming(peer) + closeWith("back", 4));
}

TEST(UdpRouter, ListenersAreOfferedInOrderUntilOneTakesItWhileTheyComeAndGo) {
  UvLoop loop;
  UdpRouter router(&loop);
  RawSocket sender;
  Texts calls;
  struct Scripted : UdpRouter::Cb {
    std::string name;
    Texts& calls;
    std::function<bool(Scripted*)> action = [](Scripted*) { return false; };  // true takes the message
    Scripted(std::string n, Texts& c) : name(std::move(n)), calls(c) {}
    bool handleRouter(Message* m, const SocketAddress&) override {
      calls.push_back(name + ":" + static_cast<Close*>(m)->reason);
      return action(this);  // may remove and free this listener
    }
  };
  auto* one = new Scripted("one", calls);
  auto* two = new Scripted("two", calls);
  auto* three = new Scripted("three", calls);
  auto* four = new Scripted("four", calls);
  Scripted five("five", calls);
  for (Scripted* s : {one, two, three, &five}) router.addListener(s);
  // "one" drops and deletes "two", which is still to come, adds "four", then leaves and deletes itself.
  one->action = [&](Scripted* self) {
    router.removeListener(two);
    delete two;
    router.addListener(four);
    router.removeListener(self);
    delete self;
    return false;
  };
  // "three" leaves on the second message, deleting itself from inside its own call.
  three->action = [&](Scripted* self) {
    if (calls.back() != "three:b") return false;
    router.removeListener(self);
    delete self;
    return false;
  };
  // "five" takes the third message, so "four" after it never sees it.
  five.action = [&](Scripted*) { return calls.back() == "five:c"; };

  for (const char* reason : {"a", "b", "c", "d"}) sender.sendTo(addressOf(router), closeWith(reason));
  ASSERT_TRUE(runUntil(loop, [&] { return !calls.empty() && calls.back() == "four:d"; }));
  EXPECT_EQ(calls, (Texts{"one:a", "three:a", "five:a", "three:b", "five:b", "four:b", "five:c", "five:d", "four:d"}));
  router.removeListener(four);
  delete four;
}

TEST(UdpRouter, CraftedDatagramsAreDroppedAndTheLoopGoesOn) {
  UvLoop loop;
  UdpRouter router(&loop);
  Recorder seen;
  router.addListener(&seen);
  // A listener that chokes on a field costs that datagram only.
  seen.then = [&](const SocketAddress&) {
    if (seen.what.back() == "close bad field") throw std::runtime_error("listener refused the field");
  };
  RawSocket sender, relay;
  router.addRelay(relay.address);
  const SocketAddress to = addressOf(router);
  const std::string header = closeWith("").substr(0, 9);
  const std::string prefix = proxyNaming(SocketAddress("1.1.1.1", 1));
  std::string version6 = prefix;
  version6[9] = 6;
  const std::vector<std::pair<const RawSocket*, std::string>> crafted = {
      {&sender, ""},
      {&sender, header + std::string("\x00\x00\x00\x0a" "abc", 7)},  // string past the end
      {&sender, std::string(2000, '\x03')},                           // larger than a receive buffer
      {&sender, codecThen(7, "")},                                    // a Codec with nothing behind it
      {&relay, prefix},                                               // a Proxy with nothing behind it
      {&relay, version6 + closeWith("v6")},
      {&relay, prefix.substr(0, 20)},
      {&sender, closeWith("bad field")},
  };

  testsupport::StdoutCapture console;
  const auto started = std::chrono::steady_clock::now();
  bool marksArrived = true;  // in rounds small enough for the socket's receive buffer
  for (int round = 0; round < 5 && marksArrived; ++round) {
    for (const auto& [from, bytes] : crafted) from->sendTo(to, bytes);
    const std::string mark = "mark " + std::to_string(round);
    sender.sendTo(to, closeWith(mark));
    marksArrived = runUntil(loop, [&] { return seen.got("close " + mark); });
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string log = console.finish();  // gtest reports to standard output too: check after

  EXPECT_TRUE(marksArrived);
  EXPECT_EQ(Texts(seen.what.begin(), seen.what.begin() + 2), (Texts{"close bad field", "close mark 0"}));
  EXPECT_EQ(seen.what.size(), 10u);
  // Forty drops, but at most ten warnings in any one second.
  size_t warnings = 0;
  for (size_t at = log.find("datagram dropped"); at != std::string::npos; at = log.find("datagram dropped", at + 1))
    ++warnings;
  EXPECT_GE(warnings, 10u);
  EXPECT_LE(warnings, 10 * (std::ceil(seconds) + 1));
}

TEST(UdpRouter, CreationFailsAfterExactlyTenAttemptsWhenThePortIsTaken) {
  UvLoop loop;
  UdpRouter holder(&loop);
  const int taken = holder.getUdp()->getPort();
  EXPECT_EQ(testsupport::failureOf([&] { UdpRouter second(&loop, taken); }),
            "uv_udp_bind error " + std::to_string(UV_EADDRINUSE) + " " + uv_strerror(UV_EADDRINUSE));

  // One fresh socket per attempt, each already closing: nothing is left half-open.
  auto closingSockets = [&] {
    int count = 0;
    auto countOne = [](uv_handle_t* h, void* n) { *static_cast<int*>(n) += h->type == UV_UDP && uv_is_closing(h); };
    uv_walk(loop.uvLoop(), countOne, &count);
    return count;
  };
  EXPECT_EQ(closingSockets(), 10);
  ASSERT_TRUE(runUntil(loop, [&] { return closingSockets() == 0; }));
}

TEST(UdpRouter, SendsInFlightSurviveTheRouterOrTheLoopGoingFirst) {
  UvLoop loop;
  UdpRouter peer(&loop);
  Recorder seen;
  peer.addListener(&seen);
  Close close(1);
  {
    UdpRouter sender(&loop);
    for (int i = 0; i < 200; ++i) sender.send(&close, addressOf(peer));
  }
  ASSERT_TRUE(runUntil(loop, [&] { return !seen.what.empty(); }, 500));

  auto* early = new UvLoop;
  UdpRouter orphan(early);
  for (int i = 0; i < 100; ++i) orphan.send(&close, addressOf(peer));
  delete early;
  EXPECT_NO_THROW(orphan.send(&close, addressOf(peer)));  // the socket is gone: logged and dropped
}

TEST(UdpRouter, ARelayIsBelievedWhileAnyOfItsUsersHoldsIt) {
  UvLoop loop;
  UdpRouter router(&loop);
  const SocketAddress relay("127.0.0.1", 3478);
  SocketAddress sameRelayNamingAPeer("127.0.0.1", 3478);
  sameRelayNamingAPeer.setProxy(SocketAddress("10.0.0.1", 1).getSockaddr());
  router.addRelay(relay);
  {
    UdpRouter::RelayRef hole(&router, sameRelayNamingAPeer);  // holds the endpoint alone
    UdpRouter::RelayRef stream = std::move(hole);
    UdpRouter::RelayRef none(&router, SocketAddress());
    router.removeRelay(relay);
    EXPECT_TRUE(router.isRelay(relay));
    hole = UdpRouter::RelayRef();  // a moved-from hold releases nothing
    EXPECT_TRUE(router.isRelay(relay));
  }
  EXPECT_FALSE(router.isRelay(relay));
  router.removeRelay(relay);  // one too many changes nothing
  router.addRelay(relay);
  EXPECT_TRUE(router.isRelay(relay));
}

namespace {

// The segmented send as a kernel would answer it: passed on, or failed with `segmentRefusal`.
int segmentedSends = 0;
int segmentRefusal = 0;
ssize_t segmentSeam(int fd, const msghdr* message, int flags) {
  ++segmentedSends;
  if (segmentRefusal == 0) return ::sendmsg(fd, message, flags);
  errno = segmentRefusal;
  return -1;
}

}  // namespace

TEST(UdpRouter, BurstsLeaveTogetherInOrderAndOneByOneWhenTheKernelRefusesSegments) {
  // Passed on: one call per run. A full socket buffer: the run waits in libuv's queue, and so
  // does what follows it until the queue is empty. No segmentation offload: never tried again.
  for (const auto& [refusal, calls, segmentingAfter] :
       {std::tuple<int, int, bool>{0, 4, true}, {EAGAIN, 1, true}, {EIO, 1, false}}) {
    UvLoop loop;
    UdpRouter a(&loop), b(&loop), c(&loop);
    Recorder atB, atC;
    b.addListener(&atB);
    c.addListener(&atC);
    a.getUdp()->sendmsgCall = segmentSeam;
    segmentRefusal = refusal;
    segmentedSends = 0;
    ASSERT_TRUE(a.getUdp()->canSegment());
    Texts toB, toC;
    const auto send = [&](UdpRouter& to, const std::string& reason) {
      Close m(1);
      m.reason = reason;
      a.send(&m, addressOf(to));
      (&to == &b ? toB : toC).push_back("close " + reason);
    };
    {
      const UdpRouter::Burst burst(&a);
      for (int i = 10; i < 22; ++i) send(b, "b" + std::to_string(i));
      EXPECT_EQ(segmentedSends, 0);  // held while the run can grow
      send(b, "b");       // shorter: it ends the run of 13
      send(b, "b-long");  // alone, as is the last one
      for (int i = 10; i < 13; ++i) send(c, "c" + std::to_string(i));
      send(b, "b22");
    }
    ASSERT_TRUE(runUntil(loop, [&] { return atB.what.size() == toB.size() && atC.what.size() == toC.size(); }));
    EXPECT_EQ(atB.what, toB);
    EXPECT_EQ(atC.what, toC);
    for (const SocketAddress& from : atB.from) EXPECT_EQ(text(from), text(addressOf(a)));
    EXPECT_EQ(segmentedSends, calls);
    EXPECT_EQ(a.getUdp()->canSegment(), segmentingAfter);
    send(b, "after");  // outside a burst: at once
    ASSERT_TRUE(runUntil(loop, [&] { return atB.what == toB; }));
  }
  segmentRefusal = 0;
}

TEST(UdpRouter, TheEndOfAReadComesAfterAllItsDatagrams) {
  UvLoop loop;
  UdpRouter router(&loop);
  // Asks for the end of each read it sees a message in; records how many it had seen by then.
  struct Watcher : Recorder {
    UdpRouter* router = nullptr;
    bool asked = false;
    std::vector<size_t> ends;
    bool handleRouter(Message* m, const SocketAddress& sender) override {
      if (!asked) asked = router->callAtReadEnd(this);
      return Recorder::handleRouter(m, sender);
    }
    void handleReadEnd() override { ends.push_back(what.size()), asked = false; }
  } watcher;
  watcher.router = &router;
  router.addListener(&watcher);
  EXPECT_FALSE(router.callAtReadEnd(&watcher));  // no read going on

  RawSocket peer;
  const int sent = 60;
  for (int i = 0; i < sent; ++i) peer.sendTo(addressOf(router), closeWith(std::to_string(i)));
  ASSERT_TRUE(runUntil(loop, [&] { return !watcher.ends.empty() && watcher.ends.back() == sent; }));
  EXPECT_EQ(watcher.what.size(), static_cast<size_t>(sent));
  EXPECT_EQ(watcher.what.back(), "close " + std::to_string(sent - 1));
  EXPECT_LT(watcher.ends.size(), static_cast<size_t>(sent) / 2);  // reads of several datagrams

  // A datagram handed in directly is a read of its own; a listener gone before the end is not called.
  std::string bytes = closeWith("direct");
  router.handleRecv(reinterpret_cast<int8_t*>(&bytes[0]), static_cast<int>(bytes.size()), peer.address.getSockaddr());
  EXPECT_EQ(watcher.ends.back(), static_cast<size_t>(sent + 1));
  Watcher gone;
  gone.router = &router;
  gone.then = [&](const SocketAddress&) { router.removeListener(&gone); };
  router.removeListener(&watcher);
  router.addListener(&gone);
  router.handleRecv(reinterpret_cast<int8_t*>(&bytes[0]), static_cast<int>(bytes.size()), peer.address.getSockaddr());
  EXPECT_EQ(gone.what.size(), 1u);
  EXPECT_TRUE(gone.ends.empty());
}
