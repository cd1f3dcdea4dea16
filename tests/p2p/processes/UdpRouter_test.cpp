#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Codec.h"
#include "p2p/messages/Data.h"
#include "p2p/messages/Proxy.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvTimer.h"

#include "support/TestSupport.h"

using namespace p2p;

using testsupport::runUntil;

namespace {

std::string text(const SocketAddress& address) {
  std::ostringstream out;
  out << address;
  return out.str();
}

std::string local(int port) { return "SocketAddress=127.0.0.1:" + std::to_string(port); }

SocketAddress addressOf(UdpRouter& router) { return SocketAddress("127.0.0.1", router.getUdp()->getPort()); }

// The bytes a message encodes to.
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

std::string codecThen(int8_t key, const std::string& inner) {
  Codec codec;
  codec.key = key;
  std::string xored = inner;
  for (char& c : xored) c = static_cast<char>(c ^ key);
  return wire(codec) + xored;
}

std::string closeWith(const std::string& reason, int32_t channelId = 1) {
  Close close(channelId);
  close.reason = reason;
  return wire(close);
}

// A plain blocking socket on 127.0.0.1, to craft datagrams and to play a relay.
class RawSocket {
 public:
  RawSocket() : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) throw std::runtime_error("socket");
  }
  ~RawSocket() { ::close(fd); }

  SocketAddress address() const {
    sockaddr_in name = {};
    socklen_t length = sizeof name;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length);
    return SocketAddress(reinterpret_cast<sockaddr*>(&name));
  }
  int port() const { return address().getPort(); }

  void sendTo(const SocketAddress& to, const std::string& bytes) const {
    ::sendto(fd, bytes.data(), bytes.size(), 0, to.getSockaddr(), sizeof(sockaddr_in));
  }

  bool readable() const {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

  std::string receive() const {
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
  }

 private:
  int fd;
};

// Records what it is offered, as "<kind> <detail>", with the sender.
struct Recorder : UdpRouter::Cb {
  struct Seen {
    std::string what;
    std::string from;
  };
  std::vector<Seen> seen;
  bool takes = true;
  std::function<void(Message*, const SocketAddress&)> then;

  bool handleRouter(Message* m, const SocketAddress& from) override {
    std::string what;
    if (m->getOpcode() == Message::close) {
      what = "close " + static_cast<Close*>(m)->reason;
    } else if (m->getOpcode() == Message::data) {
      ByteBuffer* payload = static_cast<Data*>(m)->dataBuffer;
      what = "data " + std::string(reinterpret_cast<char*>(payload->array()) + payload->position(),
                                   static_cast<size_t>(payload->remaining()));
    } else {
      std::ostringstream dump;
      dump << *m;
      what = dump.str();
    }
    seen.push_back({what, text(from)});
    if (then) then(m, from);
    return takes;
  }

  bool got(const std::string& what) const {
    for (const Seen& s : seen)
      if (s.what == what) return true;
    return false;
  }
};

// Sends fd 1 into a pipe drained by a thread, so the log's console lines can be read back.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    saved = ::dup(1);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    readFd = fds[0];
    reader = std::thread([this] {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(readFd, buffer, sizeof buffer)) > 0) captured.append(buffer, static_cast<size_t>(n));
    });
  }
  ~StdoutCapture() { finish(); }

  std::string finish() {
    if (saved >= 0) {
      std::fflush(stdout);
      ::dup2(saved, 1);
      ::close(saved);
      saved = -1;
      reader.join();
      ::close(readFd);
    }
    return captured;
  }

 private:
  int saved = -1;
  int readFd = -1;
  std::thread reader;
  std::string captured;
};

std::vector<std::string> linesWith(const std::string& log, const std::string& part) {
  std::vector<std::string> found;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find(part) != std::string::npos) found.push_back(line);
  return found;
}

}  // namespace

TEST(UdpRouter, TwoRoutersExchangeMessagesOnLoopback) {
  UvLoop loop;
  UdpRouter a(&loop);
  UdpRouter b(&loop);
  const int portA = a.getUdp()->getPort();
  EXPECT_GE(portA, 50000);
  EXPECT_LE(portA, 51000);
  EXPECT_EQ(a.getLoop(), &loop);

  Recorder atA;
  Recorder atB;
  a.addListener(&atA);
  b.addListener(&atB);
  // B answers each message to the address it came from.
  atB.then = [&](Message*, const SocketAddress& from) {
    Close answer(9);
    answer.reason = "pong";
    b.send(&answer, from);
  };

  ClientHole hole("uuid-a", "uuid-b", "10.0.0.1", 4242, 3, "", 0);
  a.send(&hole, addressOf(b));
  std::string payload(1400, 'x');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  ByteBuffer source(reinterpret_cast<int8_t*>(&payload[0]), static_cast<int32_t>(payload.size()));
  Data data(5, 77, &source);
  a.send(&data, addressOf(b));

  ASSERT_TRUE(runUntil(loop, [&] { return atA.seen.size() == 2; }));
  ASSERT_EQ(atB.seen.size(), 2u);
  EXPECT_EQ(atB.seen[0].what,
            "ClientHole channelId:0 sequence:0 uuid:uuid-a findUuid:uuid-b ip:10.0.0.1 port:4242 protocol:3 proxyIp: "
            "proxyPort:0");
  EXPECT_EQ(atB.seen[0].from, local(portA));
  EXPECT_EQ(atB.seen[1].what, "data " + payload);
  EXPECT_EQ(atA.seen[0].what, "close pong");
  EXPECT_EQ(atA.seen[0].from, local(b.getUdp()->getPort()));
}

TEST(UdpRouter, ProxyAndCodecPrefixesAreUnwrappedOnlyFromAKnownRelay) {
  UvLoop loop;
  UdpRouter router(&loop);
  Recorder seen;
  router.addListener(&seen);
  RawSocket relay;
  RawSocket stranger;
  const SocketAddress peer("5.6.7.8", 9000);
  const SocketAddress to = addressOf(router);

  router.addRelay(relay.address());
  router.addRelay(relay.address());  // no duplicate: one removal forgets it
  EXPECT_TRUE(router.isRelay(relay.address()));
  EXPECT_FALSE(router.isRelay(stranger.address()));
  EXPECT_FALSE(router.isRelay(SocketAddress("127.0.0.2", relay.port())));  // same port, other address

  const std::string relayed = proxyNaming(peer) + codecThen(0x5A, closeWith("inner"));
  relay.sendTo(to, relayed);
  stranger.sendTo(to, relayed);                                      // anyone can write a prefix: dropped
  relay.sendTo(to, codecThen(-3, proxyNaming(peer) + closeWith("x")));  // a Proxy behind a Codec is the message
  relay.sendTo(to, codecThen(0x11, closeWith("codec only")));
  relay.sendTo(to, closeWith("plain"));
  ASSERT_TRUE(runUntil(loop, [&] { return seen.got("close plain"); }));

  router.removeRelay(relay.address());
  EXPECT_FALSE(router.isRelay(relay.address()));
  relay.sendTo(to, relayed);
  relay.sendTo(to, closeWith("end"));
  ASSERT_TRUE(runUntil(loop, [&] { return seen.got("close end"); }));

  const std::string viaRelay = "SocketAddress=5.6.7.8:9000 proxy=127.0.0.1:" + std::to_string(relay.port());
  const std::string fromRelay = local(relay.port());
  ASSERT_EQ(seen.seen.size(), 5u);
  EXPECT_EQ(seen.seen[0].what, "close inner");
  EXPECT_EQ(seen.seen[0].from, viaRelay);
  EXPECT_EQ(seen.seen[1].what, "Proxy channelId:0 sequence:0 5.6.7.8:9000");
  EXPECT_EQ(seen.seen[1].from, fromRelay);
  EXPECT_EQ(seen.seen[2].what, "close codec only");
  EXPECT_EQ(seen.seen[2].from, fromRelay);
  EXPECT_EQ(seen.seen[3].what, "close plain");
  EXPECT_EQ(seen.seen[4].what, "close end");
}

TEST(UdpRouter, SendingThroughARelayPutsAProxyNamingThePeerFirst) {
  UvLoop loop;
  UdpRouter router(&loop);
  RawSocket relay;
  RawSocket peer;

  SocketAddress behindRelay = peer.address();
  behindRelay.setProxy(relay.address().getSockaddr());
  Close close(4);
  close.reason = "hi";
  router.send(&close, behindRelay);
  router.send(&close, peer.address());
  ASSERT_TRUE(runUntil(loop, [&] { return relay.readable() && peer.readable(); }));

  EXPECT_EQ(relay.receive(), proxyNaming(peer.address()) + closeWith("hi", 4));
  EXPECT_EQ(peer.receive(), closeWith("hi", 4));
  EXPECT_EQ(proxyNaming(peer.address()).size(), 30u);
}

namespace {

// The relay the tests work with: it forwards a datagram to the peer its Proxy prefix names,
// after rewriting the prefix to name the datagram's sender.
class StandInRelay : public UvUdp::RecvCb {
 public:
  explicit StandInRelay(UvLoop* loop) {
    sockaddr_in any;
    uv_ip4_addr("127.0.0.1", 0, &any);
    udp = std::make_unique<UvUdp>(reinterpret_cast<sockaddr*>(&any), loop, this);
  }

  SocketAddress address() { return SocketAddress("127.0.0.1", udp->getPort()); }

  void handleRecv(int8_t* bytes, int n, const sockaddr* addr) override {
    if (n == 0) return;
    ByteBuffer view(bytes, n);
    std::unique_ptr<Message> prefix(Message::decodeMessage(view));
    auto* proxy = static_cast<Proxy*>(prefix.get());
    std::ostringstream named;
    named << *proxy;
    forwarded.push_back(named.str());
    SocketAddress sender(addr);
    auto* forward = new Forward(proxyNaming(sender) + std::string(reinterpret_cast<char*>(bytes) + view.position(),
                                                                  static_cast<size_t>(view.remaining())));
    SocketAddress target(&proxy->addr);
    udp->send(reinterpret_cast<int8_t*>(&forward->bytes[0]), static_cast<int>(forward->bytes.size()),
              target.getSockaddr(), forward);
  }
  void handleRecvError(int, const std::string& reason) override { FAIL() << reason; }

  std::vector<std::string> forwarded;  // the Proxy prefixes received

 private:
  struct Forward : UvUdp::SendCb {
    explicit Forward(std::string b) : bytes(std::move(b)) {}
    std::string bytes;
    void handleSend(int8_t*, int) override { delete this; }
    void handleSendError(int, const std::string&) override { delete this; }
  };

  std::unique_ptr<UvUdp> udp;
};

}  // namespace

TEST(UdpRouter, AnAnswerToARelayedSenderGoesBackThroughTheRelayToThatPeer) {
  UvLoop loop;
  StandInRelay relay(&loop);
  UdpRouter a(&loop);
  UdpRouter b(&loop);
  a.addRelay(relay.address());
  b.addRelay(relay.address());
  Recorder atA;
  Recorder atB;
  a.addListener(&atA);
  b.addListener(&atB);
  atB.then = [&](Message*, const SocketAddress& from) {
    Close answer(2);
    answer.reason = "back";
    b.send(&answer, from);
  };

  SocketAddress bViaRelay = addressOf(b);
  bViaRelay.setProxy(relay.address().getSockaddr());
  Close hello(1);
  hello.reason = "there";
  a.send(&hello, bViaRelay);
  ASSERT_TRUE(runUntil(loop, [&] { return !atA.seen.empty(); }));

  const std::string viaRelay = " proxy=127.0.0.1:" + std::to_string(relay.address().getPort());
  ASSERT_EQ(atB.seen.size(), 1u);
  EXPECT_EQ(atB.seen[0].what, "close there");
  EXPECT_EQ(atB.seen[0].from, local(a.getUdp()->getPort()) + viaRelay);
  ASSERT_EQ(atA.seen.size(), 1u);
  EXPECT_EQ(atA.seen[0].what, "close back");
  EXPECT_EQ(atA.seen[0].from, local(b.getUdp()->getPort()) + viaRelay);
  // Each leg named its far end.
  ASSERT_EQ(relay.forwarded.size(), 2u);
  EXPECT_EQ(relay.forwarded[0], "Proxy channelId:0 sequence:0 127.0.0.1:" + std::to_string(b.getUdp()->getPort()));
  EXPECT_EQ(relay.forwarded[1], "Proxy channelId:0 sequence:0 127.0.0.1:" + std::to_string(a.getUdp()->getPort()));
}

TEST(UdpRouter, ListenersAreOfferedInOrderUntilOneTakesTheMessage) {
  UvLoop loop;
  UdpRouter router(&loop);
  RawSocket sender;
  Recorder first, second, third;
  first.takes = false;
  router.addListener(&first);
  router.addListener(&second);
  router.addListener(&third);
  // The taker reads the message it is handed; the router deletes it only afterwards (ASan).
  second.then = [](Message* m, const SocketAddress&) { EXPECT_EQ(static_cast<Close*>(m)->reason, "one"); };

  sender.sendTo(addressOf(router), closeWith("one"));
  ASSERT_TRUE(runUntil(loop, [&] { return !second.seen.empty(); }));
  EXPECT_EQ(first.seen.size(), 1u);
  EXPECT_TRUE(third.seen.empty());

  // Without the taker the message reaches the last; with nobody taking it, it is simply dropped.
  second.then = nullptr;
  router.removeListener(&second);
  third.takes = false;
  router.addListener(&first);  // duplicates are kept and offered twice...
  sender.sendTo(addressOf(router), closeWith("two"));
  ASSERT_TRUE(runUntil(loop, [&] { return third.seen.size() == 1; }));
  EXPECT_EQ(first.seen.size(), 3u);
  router.removeListener(&first);  // ...and removed together
  sender.sendTo(addressOf(router), closeWith("three"));
  ASSERT_TRUE(runUntil(loop, [&] { return third.seen.size() == 2; }));
  EXPECT_EQ(first.seen.size(), 3u);
  EXPECT_EQ(second.seen.size(), 1u);
}

TEST(UdpRouter, DispatchStaysCorrectWhileListenersComeAndGo) {
  UvLoop loop;
  UdpRouter router(&loop);
  RawSocket sender;
  std::vector<std::string> calls;
  struct Scripted : UdpRouter::Cb {
    std::string name;
    std::vector<std::string>& calls;
    std::function<void(Scripted*)> action;
    Scripted(std::string n, std::vector<std::string>& c) : name(std::move(n)), calls(c) {}
    bool handleRouter(Message* m, const SocketAddress&) override {
      calls.push_back(name + ":" + static_cast<Close*>(m)->reason);
      if (action) action(this);  // may delete this
      return false;
    }
  };
  auto* one = new Scripted("one", calls);
  auto* two = new Scripted("two", calls);
  auto* three = new Scripted("three", calls);
  auto* four = new Scripted("four", calls);
  router.addListener(one);
  router.addListener(two);
  router.addListener(three);
  // "one" drops and deletes "two", which is still to come, adds "four", then leaves and deletes itself.
  one->action = [&](Scripted* self) {
    router.removeListener(two);
    delete two;
    router.addListener(four);
    router.removeListener(self);
    delete self;
  };
  // "three" leaves on the second message, deleting itself from inside its own call.
  three->action = [&](Scripted* self) {
    if (calls.back() != "three:b") return;
    router.removeListener(self);
    delete self;
  };

  for (const char* reason : {"a", "b", "c"}) sender.sendTo(addressOf(router), closeWith(reason));
  ASSERT_TRUE(runUntil(loop, [&] { return !calls.empty() && calls.back() == "four:c"; }));
  EXPECT_EQ(calls, (std::vector<std::string>{"one:a", "three:a", "three:b", "four:b", "four:c"}));
  router.removeListener(four);
  delete four;
}

TEST(UdpRouter, CraftedDatagramsAreDroppedAndTheLoopGoesOn) {
  UvLoop loop;
  UdpRouter router(&loop);
  Recorder seen;
  // A listener that chokes on a field costs that datagram only.
  struct Choking : UdpRouter::Cb {
    bool handleRouter(Message* m, const SocketAddress&) override {
      if (m->getOpcode() == Message::close && static_cast<Close*>(m)->reason == "bad field")
        throw std::runtime_error("listener refused the field");
      return false;
    }
  } choking;
  router.addListener(&choking);
  router.addListener(&seen);
  RawSocket sender;
  RawSocket relay;
  router.addRelay(relay.address());
  const SocketAddress to = addressOf(router);
  const std::string header = closeWith("").substr(0, 9);

  StdoutCapture capture;
  const auto started = std::chrono::steady_clock::now();
  sender.sendTo(to, "");
  sender.sendTo(to, "\x0c");                                       // unknown opcode
  sender.sendTo(to, "\xff");                                       // negative opcode
  sender.sendTo(to, std::string("\x00\x00\x00", 3));               // header cut inside channelId
  sender.sendTo(to, header + std::string("\xff\xff\xff\xff", 4));  // negative string length
  sender.sendTo(to, header + std::string("\x00\x00\x00\x0a" "abc", 7));
  sender.sendTo(to, std::string(2000, '\x03'));                    // larger than a receive buffer
  sender.sendTo(to, codecThen(7, ""));                             // a Codec with nothing behind it
  relay.sendTo(to, proxyNaming(SocketAddress("1.1.1.1", 1)));     // a Proxy with nothing behind it
  std::string version6 = proxyNaming(SocketAddress("1.1.1.1", 1));
  version6[9] = 6;
  relay.sendTo(to, version6 + closeWith("v6"));
  relay.sendTo(to, proxyNaming(SocketAddress("1.1.1.1", 1)).substr(0, 20));  // a cut prefix
  sender.sendTo(to, closeWith("bad field"));
  // Random junk, in rounds small enough for the socket's receive buffer, each closed by a marker.
  std::mt19937 random(12345);
  bool marksArrived = true;
  for (int round = 0; round < 15 && marksArrived; ++round) {
    for (int i = 0; i < 20; ++i) {
      std::string junk(1 + random() % 1500, '\0');
      for (char& c : junk) c = static_cast<char>(random());
      sender.sendTo(to, junk);
    }
    const std::string mark = "mark " + std::to_string(round);
    sender.sendTo(to, closeWith(mark));
    marksArrived = runUntil(loop, [&] { return seen.got("close " + mark); });
  }
  sender.sendTo(to, closeWith("after the junk"));
  const bool afterArrived = runUntil(loop, [&] { return seen.got("close after the junk"); });

  // Past the one-second window the next warning says how many were held back.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  sender.sendTo(to, "\x0c");
  sender.sendTo(to, closeWith("last"));
  const bool lastArrived = runUntil(loop, [&] { return seen.got("close last"); });
  const std::string log = capture.finish();  // gtest reports to standard output too: assert after
  EXPECT_TRUE(marksArrived);
  EXPECT_TRUE(afterArrived);
  EXPECT_TRUE(lastArrived);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_FALSE(seen.got("close v6"));
  EXPECT_FALSE(seen.got("close bad field"));

  // Hundreds of drops, but at most ten lines in any one second; the first line of a later
  // second tells how many were held back.
  const std::vector<std::string> dropped = linesWith(log, "UdpRouter: datagram dropped");
  ASSERT_GE(dropped.size(), 11u);
  EXPECT_LE(dropped.size(), static_cast<size_t>(10 * (seconds + 1)));
  EXPECT_NE(dropped.back().find("(suppressed "), std::string::npos) << dropped.back();
  EXPECT_NE(dropped[0].find("p2p::newMessage opcode 12"), std::string::npos) << dropped[0];
  EXPECT_NE(dropped[1].find("p2p::newMessage opcode -1"), std::string::npos) << dropped[1];
  EXPECT_NE(dropped[2].find("checkLimit"), std::string::npos) << dropped[2];
  EXPECT_NE(dropped[3].find("getString size"), std::string::npos) << dropped[3];
  EXPECT_NE(dropped[4].find("getString size"), std::string::npos) << dropped[4];
  EXPECT_NE(dropped[5].find("buffer too small"), std::string::npos) << dropped[5];
}

TEST(UdpRouter, AMessageThatDoesNotFitIsNotSentAndDoesNotThrow) {
  UvLoop loop;
  UdpRouter router(&loop);
  UdpRouter peer(&loop);
  Recorder seen;
  peer.addListener(&seen);
  RawSocket relay;
  SocketAddress viaRelay = relay.address();
  viaRelay.setProxy(relay.address().getSockaddr());

  const int bodyRoom = UdpRouter::MTU_LENGTH - UdpRouter::HEADER_LENGTH - 4;  // a Close holds one string
  const std::string fits(bodyRoom, 'f');
  Close big(1);
  big.reason = fits + "!";
  EXPECT_NO_THROW(router.send(&big, addressOf(peer)));
  big.reason = fits;
  router.send(&big, addressOf(peer));

  // Behind a relay the prefix takes its 30 bytes of the room.
  big.reason = fits.substr(30) + "!";
  EXPECT_NO_THROW(router.send(&big, viaRelay));
  big.reason = fits.substr(30);
  router.send(&big, viaRelay);

  std::string payload(2000, 'd');
  ByteBuffer source(reinterpret_cast<int8_t*>(&payload[0]), static_cast<int32_t>(payload.size()));
  Data data(1, 1, &source);
  router.send(&data, addressOf(peer));  // payload cut to the room, the rest stays
  EXPECT_EQ(source.position(), UdpRouter::MTU_LENGTH - UdpRouter::HEADER_LENGTH);
  EXPECT_NO_THROW(router.send(&big, SocketAddress()));  // nowhere to send

  router.send(&big, addressOf(peer));
  ASSERT_TRUE(runUntil(loop, [&] { return seen.seen.size() == 3 && relay.readable(); }));
  EXPECT_EQ(seen.seen[0].what, "close " + fits);
  EXPECT_EQ(seen.seen[1].what, "data " + std::string(1415, 'd'));
  EXPECT_EQ(seen.seen[2].what, "close " + fits.substr(30));
  EXPECT_EQ(relay.receive().size(), static_cast<size_t>(UdpRouter::MTU_LENGTH));
  EXPECT_FALSE(relay.readable());
}

TEST(UdpRouter, CreationFailsAfterExactlyTenAttemptsWhenThePortIsTaken) {
  UvLoop loop;
  UdpRouter holder(&loop);
  const int taken = holder.getUdp()->getPort();
  std::string failure;
  try {
    UdpRouter second(&loop, taken);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  EXPECT_EQ(failure, "uv_udp_bind error " + std::to_string(UV_EADDRINUSE) + " " + uv_strerror(UV_EADDRINUSE));

  // One fresh socket per attempt, each already closing: nothing is left half-open.
  auto closingSockets = [&] {
    int count = 0;
    uv_walk(
        loop.uvLoop(),
        [](uv_handle_t* h, void* n) {
          if (h->type == UV_UDP && uv_is_closing(h)) ++*static_cast<int*>(n);
        },
        &count);
    return count;
  };
  EXPECT_EQ(closingSockets(), 10);
  ASSERT_TRUE(runUntil(loop, [&] { return closingSockets() == 0; }));
  EXPECT_EQ(holder.getUdp()->getPort(), taken);
}

TEST(UdpRouter, SendsInFlightSurviveTheRouterOrTheLoopGoingFirst) {
  UvLoop loop;
  UdpRouter peer(&loop);
  Recorder seen;
  peer.addListener(&seen);
  Close close(1);
  close.reason = "in flight";
  {
    UdpRouter sender(&loop);
    for (int i = 0; i < 200; ++i) sender.send(&close, addressOf(peer));
  }
  ASSERT_TRUE(runUntil(loop, [&] { return !seen.seen.empty(); }, 500));

  auto* early = new UvLoop;
  UdpRouter orphan(early);
  for (int i = 0; i < 100; ++i) orphan.send(&close, addressOf(peer));
  delete early;
  EXPECT_NO_THROW(orphan.send(&close, addressOf(peer)));  // the socket is gone: logged and dropped
}
