// The UDP side of the real mirelServer: echoes, hole punching introductions and the relay.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "ServerLog.h"
#include "p2p/messages/ClientFind.h"
#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Proxy.h"
#include "support/ServerProcess.h"

using namespace servertest;

namespace {

const std::string ANN = "ann@example.com";
const std::string BOB = "bob@example.com";
const std::string CAROL = "carol@example.com";

// [proxy naming port][message]
std::vector<int8_t> relayed(int port, p2p::Message& message) {
  p2p::Proxy prefix;
  const sockaddr_in to = loopback(port);
  prefix.setAddress(reinterpret_cast<const sockaddr*>(&to));
  std::vector<int8_t> bytes = UdpPeer::encode(prefix);
  const std::vector<int8_t> inner = UdpPeer::encode(message);
  bytes.insert(bytes.end(), inner.begin(), inner.end());
  return bytes;
}

// A client computer: logged in over HTTPS, then known to the rendezvous by its echoes.
struct Computer {
  Computer(const std::string& uuid, const std::string& user)
      : uuid(uuid), user(user), key(userKey(user, "pw-" + user)) {}
  std::string uuid;
  std::string user;
  std::string key;
  long long challenge = 0;
  UdpPeer udp;
};

class RendezvousTest : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  // A clean stop also tells that the sanitizers found nothing in the child.
  void TearDown() override { EXPECT_EQ(0, server->stop()) << server->log(); }

  void start(const std::vector<std::string>& extra) {
    for (const std::string& user : {ANN, BOB, CAROL})
      ASSERT_EQ(0, ServerProcess::runToEnd({"--data", data, "--add-user", user, "pw-" + user},
                                           temp.file("add-user.log")));
    server = std::make_unique<ServerProcess>(data, extra);
  }

  // A computer logged in over HTTPS and, when `echoed`, live by its first echo.
  std::unique_ptr<Computer> computer(const std::string& uuid, const std::string& user,
                                     bool echoed = true) {
    auto c = std::make_unique<Computer>(uuid, user);
    c->challenge = server->login(uuid, user, c->key);
    EXPECT_TRUE(!echoed || echo(*c, c->challenge)->code == 1);
    return c;
  }

  // An echo whose key is made from `challenge` (none when 0); the answer.
  std::unique_ptr<p2p::ServerEcho> echo(Computer& c, long long challenge,
                                        const std::string& key = "") {
    auto answer = c.udp.echo(server->udpPort, c.uuid, c.user, key.empty() ? c.key : key, challenge);
    if (!answer) throw std::runtime_error("no echo answer");
    c.challenge = answer->challenge;
    return answer;
  }

  void find(Computer& from, const std::string& findUuid) {
    p2p::ClientFind message(from.uuid, findUuid, "10.0.0.1", from.udp.port);
    from.udp.send(message, server->udpPort);
  }

  // How many lines of the server's log hold `text`.
  size_t logged(const std::string& text) const {
    const std::string log = server->log();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  testsupport::TempDir temp;
  std::string data = temp.file("data");
  std::unique_ptr<ServerProcess> server;
};

TEST_F(RendezvousTest, EchoesProveTheKeyWithARecentChallenge) {
  auto ann = computer("ann-pc", ANN, false);
  const long long login = ann->challenge;
  const auto answer = echo(*ann, login);
  EXPECT_EQ(1, answer->code);
  EXPECT_EQ("127.0.0.1", answer->remoteIp);
  const long long first = answer->challenge;
  ASSERT_EQ(1, echo(*ann, first)->code);
  const long long second = ann->challenge;
  EXPECT_NE(first, second);

  // A wrong key and no key store no challenge, so forged echoes cannot push the computer's
  // own challenges out. The last three issued count, and the login's until the next login.
  const std::tuple<long long, std::string, int> steps[] = {
      {second, userKey(ANN, "wrong"), 0}, {0, "", 0}, {0, "", 0}, {0, "", 0},
      {first, "", 1}, {second, "", 1}, {login, "", 1}};
  for (const auto& [challenge, key, code] : steps) EXPECT_EQ(code, echo(*ann, challenge, key)->code) << challenge;
  server->login("ann-pc", ANN, ann->key);
  EXPECT_EQ(0, echo(*ann, login)->code);
  // As the client does: a refused echo's answer carries the challenge for the next key.
  EXPECT_EQ(1, echo(*ann, ann->challenge)->code);
  EXPECT_EQ(0, echo(*ann, 0)->code);
  EXPECT_EQ(1, echo(*ann, ann->challenge)->code);

  // So anyone learns ann-pc's challenge; with it, another account's key proves nothing, and a
  // burst of such echoes neither evicts ann's challenge nor floods the log.
  const long long current = ann->challenge;
  Computer forger("ann-pc", BOB);
  for (int i = 0; i < 30; ++i) {
    const auto forged = echo(forger, forger.challenge);
    ASSERT_EQ(0, forged->code);
    ASSERT_EQ(current, forged->challenge);
  }
  EXPECT_EQ(1, echo(*ann, current)->code);
  EXPECT_LE(logged(" code=0"), 2u * LineBudget::LINES_PER_SECOND);

  // Another user's name, or a computer that never logged in: refused.
  auto impostor = computer("ann-pc", ANN, false);
  const long long fresh = impostor->challenge;
  impostor->user = BOB;
  EXPECT_EQ(0, echo(*impostor, fresh)->code);
  impostor->user = ANN;
  impostor->uuid = "never-logged-in";
  EXPECT_EQ(0, echo(*impostor, fresh)->code);
}

TEST_F(RendezvousTest, FindIntroducesBothSidesOnlyWhenAskedFromTheFindersEchoAddress) {
  auto ann = computer("ann-pc", ANN);
  auto bob = computer("bob-pc", BOB);
  // Someone else asking in ann-pc's name would have bob punch towards them.
  UdpPeer elsewhere;
  p2p::ClientFind forged("ann-pc", "bob-pc", "10.0.0.1", elsewhere.port);
  for (int i = 0; i < 30; ++i) elsewhere.send(forged, server->udpPort);
  EXPECT_FALSE(bob->udp.receive(200));
  EXPECT_FALSE(elsewhere.receive(0));
  EXPECT_LE(logged("not from its echo address"), 2u * LineBudget::LINES_PER_SECOND);

  find(*ann, "bob-pc");
  const auto toAnn = ann->udp.receiveMessage<p2p::ClientHole>(p2p::Message::clientHole);
  const auto toBob = bob->udp.receiveMessage<p2p::ClientHole>(p2p::Message::clientHole);
  ASSERT_TRUE(toAnn && toBob);
  for (const auto* hole : {toAnn.get(), toBob.get()}) {
    // Both sides learn the same roles: the finder opens, the sought accepts.
    EXPECT_EQ("ann-pc", hole->uuid);
    EXPECT_EQ("bob-pc", hole->findUuid);
    EXPECT_EQ("127.0.0.1", hole->ip);
    EXPECT_EQ("127.0.0.1", hole->proxyIp);
    EXPECT_EQ(server->udpPort, hole->proxyPort);
  }
  EXPECT_EQ(bob->udp.port, toAnn->port);
  EXPECT_EQ(ann->udp.port, toBob->port);

  // Nobody by that name has echoed, or one logged in but never echoed: silence.
  auto carol = computer("carol-pc", CAROL, false);
  find(*ann, "ghost-pc");
  find(*ann, "carol-pc");
  EXPECT_FALSE(ann->udp.receive(200));
  EXPECT_FALSE(carol->udp.receive(0));

  // Once ann-pc echoes from a new port, the old one no longer speaks for it.
  const auto moved = elsewhere.echo(server->udpPort, "ann-pc", ANN, ann->key, ann->challenge);
  ASSERT_TRUE(moved && moved->code == 1);
  find(*ann, "bob-pc");
  EXPECT_FALSE(bob->udp.receive(200));
  EXPECT_FALSE(ann->udp.receive(0));
}

TEST_F(RendezvousTest, RelayRewritesThePrefixKeepsUpAndShrugsOffGarbage) {
  auto ann = computer("ann-pc", ANN);
  auto bob = computer("bob-pc", BOB);
  p2p::ClientHole punch("ann-pc", "bob-pc", "", 0, 3, "", 0);
  // Forwarded as it came, but for the prefix, which now names the sender.
  for (auto [from, to] : {std::pair(ann.get(), bob.get()), std::pair(bob.get(), ann.get())}) {
    from->udp.sendRaw(relayed(to->udp.port, punch), server->udpPort);
    EXPECT_EQ(std::optional(relayed(from->udp.port, punch)), to->udp.receive());
  }

  // Only between live computers: not from one that never echoed, nor to an unknown port,
  // nor back to the server itself.
  auto carol = computer("carol-pc", CAROL, false);
  carol->udp.sendRaw(relayed(bob->udp.port, punch), server->udpPort);
  ann->udp.sendRaw(relayed(carol->udp.port, punch), server->udpPort);
  ann->udp.sendRaw(relayed(server->udpPort, punch), server->udpPort);
  EXPECT_FALSE(bob->udp.receive(200));
  EXPECT_FALSE(carol->udp.receive(0) || ann->udp.receive(0));

  // Twenty megabytes in a second, paced, arrive.
  const int size = 1424, count = 20 * 1024 * 1024 / size;
  std::vector<int8_t> datagram = relayed(bob->udp.port, punch);
  datagram.resize(size, 0x5A);
  std::atomic<int> received{0};
  std::thread receiver([&] {
    while (received < count && bob->udp.receive(500)) ++received;
  });
  const auto begin = std::chrono::steady_clock::now();
  for (int sent = 0; sent < count; ++sent) {
    std::this_thread::sleep_until(begin + std::chrono::microseconds(sent * 1000000LL / count));
    ann->udp.sendRaw(datagram, server->udpPort);
  }
  receiver.join();
#ifdef MIREL_SANITIZE_BUILD
  const int keptUp = 80;  // a sanitized server beside a busy test run drops some
#else
  const int keptUp = 99;
#endif
  EXPECT_GE(received, count * keptUp / 100);

  // Random datagrams are the router fuzzer's; these are the shapes that reach each refusal.
  const std::vector<std::vector<int8_t>> garbage = {
      {}, {12}, {-1, 1, 2},
      {4, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F, -1, -1, -1},  // a string count far past the end
      {4, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1},    // a negative string count
      {5, 0, 0},                                      // cut inside the header
      {9, 0, 0, 0, 0, 0, 0, 0, 0, 6},                 // proxy of version 6, cut short
      std::vector<int8_t>(2000, 4),                   // larger than any datagram we take
      std::vector<int8_t>(datagram.begin(), datagram.begin() + 30),  // a bare relay prefix
  };
  for (const auto& bytes : garbage) ann->udp.sendRaw(bytes, server->udpPort);
  // None of it answered or forwarded, and the real echoes are still served.
  EXPECT_FALSE(ann->udp.receive(200) || bob->udp.receive(0));
  echo(*ann, ann->challenge);
  ASSERT_EQ(0, server->stop());
  EXPECT_EQ(std::string::npos, server->log().find("malformed 0,"));  // the garbage was looked at
}

class NoRelayTest : public RendezvousTest {
 protected:
  void SetUp() override { start({"--no-relay"}); }
};

TEST_F(NoRelayTest, HoleNamesNoRelayAndNothingIsForwarded) {
  auto ann = computer("ann-pc", ANN);
  auto bob = computer("bob-pc", BOB);
  find(*bob, "ann-pc");
  const auto toAnn = ann->udp.receiveMessage<p2p::ClientHole>(p2p::Message::clientHole);
  ASSERT_TRUE(toAnn);
  EXPECT_EQ(bob->udp.port, toAnn->port);
  EXPECT_EQ("", toAnn->proxyIp);
  EXPECT_EQ(0, toAnn->proxyPort);
  p2p::ClientHole punch("bob-pc", "ann-pc", "", 0, 3, "", 0);
  bob->udp.sendRaw(relayed(ann->udp.port, punch), server->udpPort);
  EXPECT_FALSE(ann->udp.receive(200));
}

}  // namespace
