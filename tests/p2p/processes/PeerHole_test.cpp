// Hole punching between routers on 127.0.0.1: against a scripted rendezvous server on a manual
// clock (a tick counts only once the clock has moved), then through the real stand-in server.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/Proxy.h"
#include "p2p/processes/LoginEcho.h"
#include "p2p/processes/PeerAcceptor.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/requests/Login.h"
#include "p2p/uv/HttpServer.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace p2p;

using testsupport::runUntil;

namespace {

const std::string kA = "pc-opener", kB = "pc-acceptor";

SocketAddress at(UdpRouter& router) { return SocketAddress("127.0.0.1", router.getUdp()->getPort()); }

struct Reports : PeerHole::Cb {
  std::vector<std::pair<SocketAddress, int32_t>> seen;
  void handleHole(const std::string&, const SocketAddress& address, int32_t protocol) override {
    seen.emplace_back(address, protocol);
  }
};

struct Accepted : PeerAcceptor::Cb {
  std::vector<SocketAddress> from;
  void handleAccept(Connect*, const SocketAddress& address) override { from.push_back(address); }
};

// The test plays the rendezvous server and announces peers on demand.
class PeerHoleScripted : public ::testing::Test {
 protected:
  void SetUp() override {
    // The server object learns the rendezvous address from any answered web call.
    HttpServer web(&loop, [](HttpServerRequest&, HttpServerResponse& res) { res << "1" << std::endl; });
    int port = servertest::randomFreePort();
    web.listen("127.0.0.1", port);
    server = std::make_unique<Server>("http://127.0.0.1:" + std::to_string(port) + "/",
                                      rendezvous.getUdp()->getPort(), &loop);
    struct : Server::ServerCb<long long> {
      void handleServerResponse(const Server::ServerResponse<long long>&) override {}
    } ignore;
    server->exec(new LoginRequest("pc", "user", "key", "", false), &ignore);
    ASSERT_TRUE(runUntil(loop, [&] { return server->getUdpAddr().isValid(); }));
  }

  void announce(UdpRouter& to, int port, const std::string& proxyIp = "", int proxyPort = 0) {
    ClientHole hole(kA, kB, "127.0.0.1", port, 0, proxyIp, proxyPort);
    rendezvous.send(&hole, at(to));
  }

  uint64_t clockMs = 1000;
  UvLoop loop{[this] { return clockMs; }};
  UdpRouter rendezvous{&loop}, a{&loop}, b{&loop};
  std::unique_ptr<Server> server;
};

}  // namespace

TEST_F(PeerHoleScripted, PunchesTakeTheRelayFromTheFourthTickAndTheSeventhFails) {
  servertest::UdpPeer silent, relay;
  // Sends complete on the loop, so it runs while a datagram is awaited.
  auto receive = [&](servertest::UdpPeer& peer, int limitMs = 1000) {
    std::optional<std::vector<int8_t>> got;
    runUntil(loop, [&] { return (got = got ? got : peer.receive(0)).has_value(); }, limitMs);
    return got;
  };
  Reports opened;
  PeerHole hole(kA, kA, kB, server.get(), &a);
  hole.punch(&opened);
  announce(a, silent.port, "127.0.0.1", relay.port);
  ASSERT_TRUE(receive(silent));  // the punch that answers the announcement
  EXPECT_TRUE(a.isRelay(SocketAddress("127.0.0.1", relay.port)));

  for (int tick = 1; tick <= 7; ++tick) {
    hole.handleTimer();  // the clock has not moved: no tick
    clockMs += PeerHole::TICK_MS;
    hole.handleTimer();
    if (tick == 7) break;
    ASSERT_TRUE(opened.seen.empty()) << tick;
    auto punch = receive(tick <= 3 ? silent : relay);
    ASSERT_TRUE(punch) << tick;
    ByteBuffer view(punch->data(), static_cast<int32_t>(punch->size()));
    std::unique_ptr<Message> first(Message::decodeMessage(view));
    ASSERT_EQ(tick <= 3 ? Message::clientHole : Message::proxy, first->getOpcode()) << tick;
    if (tick > 3) {
      EXPECT_EQ(silent.port, static_cast<Proxy*>(first.get())->port);
    }
  }
  ASSERT_EQ(1u, opened.seen.size());
  EXPECT_FALSE(opened.seen[0].first.isValid());
  EXPECT_FALSE(receive(silent, 50) || receive(relay, 50));
  ClientHole lateAck(kA, kB, "", -1, PeerHole::myProtocol, "", 0);
  EXPECT_FALSE(hole.handleRouter(&lateAck, SocketAddress("127.0.0.1", silent.port)));  // done: left to others
  EXPECT_EQ(1u, opened.seen.size());
}

TEST_F(PeerHoleScripted, ForgedOrBadAnnouncementsAreIgnored) {
  const SocketAddress fromServer = server->getUdpAddr();
  SocketAddress relayedServer = fromServer;
  relayedServer.setProxy(at(b).getSockaddr());
  struct Case { std::string ip; int port; std::string proxyIp; SocketAddress from; bool taken; };
  const Case cases[] = {
      {"127.0.0.1", 4000, "", at(b), false},           // another sender
      {"127.0.0.1", 4000, "", relayedServer, false},   // the server's address through a relay
      {"300.1.2.3", 4000, "", fromServer, false},
      {"127.0.0.1", 70000, "", fromServer, false},
      {"127.0.0.1", 4000, "relay.example", fromServer, true},  // only the relay is dropped
  };
  for (const Case& c : cases) {
    PeerHole hole(kA, kA, kB, server.get(), &a);
    ClientHole message(kA, kB, c.ip, c.port, 0, c.proxyIp, 4001);
    EXPECT_NO_THROW(hole.handleRouter(&message, c.from)) << c.ip << " " << c.from;
    EXPECT_EQ(c.taken, hole.getState() == PeerHole::WaitingForHoleFromPeer) << c.ip << " " << c.from;
  }
}

TEST_F(PeerHoleScripted, OnlyThePeerTheServerNamedIsTakenNotWhoeverAnswersFirst) {
  const std::string peerIp = "127.0.0.5";  // not this computer's: punches go to it as named
  const SocketAddress namedRelay("127.0.0.1", 3478);
  const auto via = [](const SocketAddress& sender, const SocketAddress& relay) {
    SocketAddress relayed = sender;
    relayed.setProxy(relay.getSockaddr());
    return relayed;
  };
  struct Case {
    const char* name;
    SocketAddress from;
    bool taken;
  };
  const Case cases[] = {
      {"a third computer", SocketAddress("127.0.0.1", 40000), false},
      {"through a relay the server did not name", via(SocketAddress(peerIp, 40000), SocketAddress("127.0.0.9", 3478)),
       false},
      {"the peer's address behind a translator that changed the port", SocketAddress(peerIp, 61000), true},
      {"anyone through the named relay", via(SocketAddress("10.9.8.7", 5), namedRelay), false},
      {"the peer through the named relay", via(SocketAddress(peerIp, 40000), namedRelay), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reports opened;
    PeerHole hole(kA, kA, kB, server.get(), &a);
    hole.punch(&opened);
    ClientHole named(kA, kB, peerIp, 4000, 0, namedRelay.getIp(), namedRelay.getPort());
    hole.handleRouter(&named, server->getUdpAddr());
    ASSERT_EQ(PeerHole::WaitingForHoleFromPeer, hole.getState());
    ClientHole ack(kA, kB, "", -1, PeerHole::myProtocol, "", 0);
    hole.handleRouter(&ack, c.from);
    ASSERT_EQ(c.taken ? 1u : 0u, opened.seen.size());
    if (c.taken) {
      EXPECT_TRUE(opened.seen[0].first.sameEndpoint(c.from));
    }
  }

}

TEST_F(PeerHoleScripted, TheAcceptorTakesTheServersAnnouncementOnceAndHoldsItsRelayForTheConnect) {
  const SocketAddress relay("127.0.0.1", 3478);
  Accepted accepted;
  PeerAcceptor acceptor(kB, server.get(), &b, &accepted);
  ClientHole announcement(kA, kB, "127.0.0.1", 4000, 0, relay.getIp(), relay.getPort());
  EXPECT_FALSE(acceptor.handleRouter(&announcement, at(a)));
  ASSERT_TRUE(acceptor.handleRouter(&announcement, server->getUdpAddr()));
  EXPECT_FALSE(acceptor.handleRouter(&announcement, server->getUdpAddr()));  // the running hole takes it
  EXPECT_EQ(1u, acceptor.holeCount());
  EXPECT_TRUE(b.isRelay(relay));
  SocketAddress throughRelay("10.0.0.1", 4000);
  throughRelay.setProxy(relay.getSockaddr());
  acceptor.handleHole(kA, throughRelay, PeerHole::myProtocol);
  loop.flushDeletions();  // the hole, and its hold on the relay, are gone
  ASSERT_EQ(0u, acceptor.holeCount());
  EXPECT_TRUE(b.isRelay(relay));
  clockMs += PeerAcceptor::RELAY_LINGER_MS;
  Connect connect(7, 100, PeerStream::MyProtocol, "", "", "");
  acceptor.handleRouter(&connect, throughRelay);
  EXPECT_FALSE(b.isRelay(relay));
}

TEST(PeerHoleRealServer, LoggedInComputersMeetDirectlyAgainAndAgain) {
  testsupport::TempDir data;
  const std::string user = "ann@example.com", password = "ann's password";
  ASSERT_EQ(0, servertest::ServerProcess::runToEnd({"--data", data.path(), "--add-user", user, password},
                                                   data.file("add-user.log")));
  servertest::ServerProcess standIn(data.path());
  UvLoop loop;
  UdpRouter a(&loop), b(&loop);
  Server server(standIn.url(""), standIn.udpPort, &loop, standIn.caPath());
  struct Status : LoginEcho::Cb {
    bool ok = false;
    void handleLoginStatus(LoginEcho::ResponseStatus s, const std::string&) override { ok = s == LoginEcho::OK; }
  } statusA, statusB;
  LoginEcho loginA(&server, &a, &statusA), loginB(&server, &b, &statusB);
  loginA.doLogin(kA, user, servertest::userKey(user, password), "a", 0);
  loginB.doLogin(kB, user, servertest::userKey(user, password), "b", 0);
  ASSERT_TRUE(runUntil(loop, [&] { return statusA.ok && statusB.ok; }, 10000)) << standIn.log();

  Accepted accepted;
  PeerAcceptor acceptor(kB, &server, &b, &accepted);
  Reports found, foundAgain;
  // Each side punches as soon as the server names the other: no attempt waits for a tick.
  const auto punched = [&loop](const std::function<bool()>& done) {
    const auto start = std::chrono::steady_clock::now();
    if (!runUntil(loop, done)) return static_cast<long>(PeerHole::TICK_MS) * 100;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  };
  PeerHole first(kA, kA, kB, &server, &a);
  first.punch(&found);
  EXPECT_LT(punched([&] { return !found.seen.empty(); }), static_cast<long>(PeerHole::TICK_MS)) << standIn.log();
  ASSERT_FALSE(found.seen.empty());
  EXPECT_EQ(b.getUdp()->getPort(), found.seen[0].first.getPort());
  EXPECT_FALSE(found.seen[0].first.hasProxy());
  EXPECT_EQ(PeerHole::myProtocol, found.seen[0].second);

  // A second attempt while the first, finished hole lives: it must leave the messages alone.
  PeerHole second(kA, kA, kB, &server, &a);
  second.punch(&foundAgain);
  EXPECT_LT(punched([&] { return !foundAgain.seen.empty() && acceptor.holeCount() == 0; }),
            static_cast<long>(PeerHole::TICK_MS));
  ASSERT_FALSE(foundAgain.seen.empty());
  EXPECT_TRUE(foundAgain.seen[0].first.isValid());
  EXPECT_EQ(1u, found.seen.size());

  Connect connect(7, 100, PeerStream::MyProtocol, "", "", "");
  a.send(&connect, found.seen[0].first);
  ASSERT_TRUE(runUntil(loop, [&] { return !accepted.from.empty(); }));
  EXPECT_EQ(a.getUdp()->getPort(), accepted.from[0].getPort());
}
