// The UDP side of the real mirelServer: echoes, hole punching introductions and the relay.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "ServerProcess.h"
#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/ClientFind.h"
#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Proxy.h"
#include "p2p/messages/ServerEcho.h"
#include "support/TestSupport.h"

using namespace servertest;

namespace {

const std::string ANN = "ann@example.com";
const std::string BOB = "bob@example.com";
const std::string CAROL = "carol@example.com";

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

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
  void TearDown() override {
    if (server) {
      EXPECT_EQ(0, server->stop()) << server->log();
    }
  }

  void start(const std::vector<std::string>& extra) {
    for (const std::string& user : {ANN, BOB, CAROL})
      ASSERT_EQ(0, ServerProcess::runToEnd({"--data", data, "--add-user", user, "pw-" + user},
                                           temp.file("add-user.log")));
    server = std::make_unique<ServerProcess>(data, extra);
  }

  long long webLogin(const std::string& uuid, const std::string& user, const std::string& key) {
    HttpAnswer answer = https(server->url(loginQuery(uuid, user, key, false)), server->caPath());
    if (answer.status == 423)
      answer = https(server->url(loginQuery(uuid, user, key, true)), server->caPath());
    EXPECT_EQ(200, answer.status);
    return answer.status == 200 ? std::stoll(answer.body) : 0;
  }

  std::unique_ptr<Computer> computer(const std::string& uuid, const std::string& user) {
    auto c = std::make_unique<Computer>();
    c->uuid = uuid;
    c->user = user;
    c->key = userKey(user, "pw-" + user);
    c->challenge = webLogin(uuid, user, c->key);
    return c;
  }

  // Sends an echo whose key is made from `challenge` (none when 0) and returns the answer.
  std::unique_ptr<p2p::ServerEcho> echo(Computer& c, long long challenge,
                                        const std::string& key = "") {
    p2p::ClientEcho message;
    message.uuid = c.uuid;
    message.userName = c.user;
    message.internalIp = "10.0.0.1";
    message.udpPort = c.udp.port;
    message.computer = c.uuid + "-name";
    if (challenge) message.key = sha1(std::to_string(challenge) + (key.empty() ? c.key : key));
    c.udp.send(message, server->udpPort);
    auto answer = c.udp.receiveMessage<p2p::ServerEcho>(p2p::Message::serverEcho);
    if (answer) c.challenge = answer->challenge;
    return answer;
  }

  std::unique_ptr<Computer> live(const std::string& uuid, const std::string& user) {
    auto c = computer(uuid, user);
    const auto answer = echo(*c, c->challenge);
    EXPECT_TRUE(answer && answer->code == 1);
    return c;
  }

  void find(Computer& from, const std::string& findUuid) {
    p2p::ClientFind message(from.uuid, findUuid, "10.0.0.1", from.udp.port);
    from.udp.send(message, server->udpPort);
  }

  testsupport::TempDir temp;
  std::string data = temp.file("data");
  std::unique_ptr<ServerProcess> server;
};

TEST_F(RendezvousTest, EchoCodeTellsWhetherTheKeyWasRight) {
  auto ann = computer("ann-pc", ANN);
  const long long loginChallenge = ann->challenge;

  auto answer = echo(*ann, loginChallenge);
  ASSERT_TRUE(answer);
  EXPECT_EQ(1, answer->code);
  EXPECT_EQ("127.0.0.1", answer->remoteIp);
  EXPECT_GT(answer->challenge, 0);
  EXPECT_EQ(0, answer->getChannelId());
  EXPECT_EQ(0, answer->getSequence());
  const long long first = answer->challenge;

  answer = echo(*ann, first);
  ASSERT_TRUE(answer);
  EXPECT_EQ(1, answer->code);
  const long long second = answer->challenge;
  EXPECT_NE(first, second);

  // A wrong key and no key both get a fresh challenge to start over from.
  answer = echo(*ann, second, userKey(ANN, "wrong"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(0, answer->code);
  EXPECT_GT(answer->challenge, 0);
  answer = echo(*ann, 0);
  ASSERT_TRUE(answer);
  EXPECT_EQ(0, answer->code);
  EXPECT_GT(answer->challenge, 0);

  // The last three challenges count (second is the oldest of them), and the login's.
  EXPECT_EQ(1, echo(*ann, second)->code);
  EXPECT_EQ(0, echo(*ann, first)->code);
  EXPECT_EQ(1, echo(*ann, loginChallenge)->code);
  webLogin("ann-pc", ANN, ann->key);
  EXPECT_EQ(0, echo(*ann, loginChallenge)->code);

  // Another user's name, or a computer that never logged in.
  auto impostor = computer("ann-pc", ANN);
  impostor->user = BOB;
  EXPECT_EQ(0, echo(*impostor, impostor->challenge)->code);
  auto stranger = computer("ann-pc", ANN);
  stranger->uuid = "never-logged-in";
  answer = echo(*stranger, stranger->challenge);
  ASSERT_TRUE(answer);
  EXPECT_EQ(0, answer->code);
  EXPECT_GT(answer->challenge, 0);
}

TEST_F(RendezvousTest, FindIntroducesBothComputers) {
  auto ann = live("ann-pc", ANN);
  auto bob = live("bob-pc", BOB);

  for (int repeat = 0; repeat < 2; ++repeat) {
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
      EXPECT_EQ(0, hole->getChannelId());
      EXPECT_EQ(0, hole->getSequence());
    }
    EXPECT_EQ(bob->udp.port, toAnn->port);
    EXPECT_EQ(ann->udp.port, toBob->port);
  }

  // Nobody by that name has echoed: silence.
  find(*ann, "ghost-pc");
  EXPECT_FALSE(ann->udp.receive(200));
  // Logged in but never echoed: not reachable either.
  auto carol = computer("carol-pc", CAROL);
  find(*ann, "carol-pc");
  EXPECT_FALSE(ann->udp.receive(200));
  EXPECT_FALSE(carol->udp.receive(0));
}

TEST_F(RendezvousTest, RelayRewritesThePrefixToNameTheSender) {
  auto ann = live("ann-pc", ANN);
  auto bob = live("bob-pc", BOB);
  p2p::ClientHole punch("ann-pc", "bob-pc", "", 0, 3, "", 0);
  const std::vector<int8_t> inner = UdpPeer::encode(punch);

  for (auto [from, to] :
       {std::make_pair(ann.get(), bob.get()), std::make_pair(bob.get(), ann.get())}) {
    from->udp.sendRaw(relayed(to->udp.port, punch), server->udpPort);
    const auto bytes = to->udp.receive();
    ASSERT_TRUE(bytes);
    ASSERT_EQ(30 + inner.size(), bytes->size());
    std::vector<int8_t> copy = *bytes;
    ByteBuffer view(copy.data(), static_cast<int32_t>(copy.size()));
    std::unique_ptr<p2p::Message> prefix(p2p::Message::decodeMessage(view));
    ASSERT_EQ(p2p::Message::proxy, prefix->getOpcode());
    const auto* proxy = static_cast<p2p::Proxy*>(prefix.get());
    EXPECT_EQ(from->udp.port, proxy->port);
    EXPECT_EQ(std::vector<int8_t>({127, 0, 0, 1}), std::vector<int8_t>(proxy->ip, proxy->ip + 4));
    EXPECT_EQ(inner, std::vector<int8_t>(bytes->begin() + 30, bytes->end()));
  }

  // Only between live computers: not from one that never echoed, nor to an unknown port.
  auto carol = computer("carol-pc", CAROL);
  carol->udp.sendRaw(relayed(bob->udp.port, punch), server->udpPort);
  EXPECT_FALSE(bob->udp.receive(200));
  ann->udp.sendRaw(relayed(carol->udp.port, punch), server->udpPort);
  EXPECT_FALSE(carol->udp.receive(200));
  // Nor back to the server itself.
  ann->udp.sendRaw(relayed(server->udpPort, punch), server->udpPort);
  EXPECT_FALSE(ann->udp.receive(200));
}

TEST_F(RendezvousTest, RelayCarriesTwentyMegabytesASecond) {
  auto ann = live("ann-pc", ANN);
  auto bob = live("bob-pc", BOB);
  const int size = 1424;
  const int count = 20 * 1024 * 1024 / size;
  std::vector<int8_t> datagram = relayed(bob->udp.port, *std::make_unique<p2p::ClientHole>());
  datagram.resize(size, 0x5A);

  std::atomic<int> received{0};
  std::thread receiver([&] {
    while (received < count && bob->udp.receive(500)) ++received;
  });
  const auto begin = std::chrono::steady_clock::now();
  const double bytesPerMs = 20.0 * 1024 * 1024 / 1000;
  for (int sent = 0; sent < count;) {
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    if (sent * size < elapsedMs * bytesPerMs) {
      ann->udp.sendRaw(datagram, server->udpPort);
      ++sent;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  receiver.join();
  ASSERT_EQ(0, server->stop());
  EXPECT_NE(std::string::npos, server->log().find("refused 0"));
  EXPECT_GE(received, count * 99 / 100);
}

TEST_F(RendezvousTest, GarbageDatagramsLeaveItServing) {
  auto ann = live("ann-pc", ANN);
  auto bob = live("bob-pc", BOB);
  std::mt19937 random(7);
  std::vector<std::vector<int8_t>> garbage = {
      {},
      {12},
      {-1, 1, 2},
      {4, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F, -1, -1, -1},  // a string count far past the end
      {4, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1},    // a negative string count
      {5, 0, 0},                                      // cut inside the header
      {9, 0, 0, 0, 0, 0, 0, 0, 0, 6},                 // proxy of version 6, cut short
      std::vector<int8_t>(2000, 4),                   // larger than any datagram we take
  };
  // A proxy prefix with nothing behind it.
  std::vector<int8_t> bare = relayed(bob->udp.port, *std::make_unique<p2p::ClientHole>());
  bare.resize(30);
  garbage.push_back(bare);
  for (int i = 0; i < 200; ++i) {
    std::vector<int8_t> bytes(random() % 64 + 1);
    for (int8_t& b : bytes) b = static_cast<int8_t>(random());
    bytes[0] = static_cast<int8_t>(random() % 12);
    garbage.push_back(bytes);
  }
  for (const auto& bytes : garbage) ann->udp.sendRaw(bytes, server->udpPort);

  // Whatever answers the garbage earned (echoes decoded from random bytes), the server
  // still serves the real ones.
  while (ann->udp.receive(200)) {
  }
  EXPECT_FALSE(bob->udp.receive(0));
  auto answer = echo(*ann, ann->challenge);
  ASSERT_TRUE(answer);
  EXPECT_TRUE(server->running());
  ASSERT_EQ(0, server->stop());
  EXPECT_EQ(std::string::npos, server->log().find("malformed 0,"));
}

class NoRelayTest : public RendezvousTest {
 protected:
  void SetUp() override { start({"--no-relay"}); }
};

TEST_F(NoRelayTest, HoleNamesNoRelayAndNothingIsForwarded) {
  auto ann = live("ann-pc", ANN);
  auto bob = live("bob-pc", BOB);
  find(*bob, "ann-pc");
  const auto toBob = bob->udp.receiveMessage<p2p::ClientHole>(p2p::Message::clientHole);
  const auto toAnn = ann->udp.receiveMessage<p2p::ClientHole>(p2p::Message::clientHole);
  ASSERT_TRUE(toBob && toAnn);
  EXPECT_EQ("bob-pc", toAnn->uuid);
  EXPECT_EQ("ann-pc", toAnn->findUuid);
  EXPECT_EQ(bob->udp.port, toAnn->port);
  EXPECT_EQ("", toBob->proxyIp);
  EXPECT_EQ(0, toBob->proxyPort);
  EXPECT_EQ("", toAnn->proxyIp);

  p2p::ClientHole punch("bob-pc", "ann-pc", "", 0, 3, "", 0);
  bob->udp.sendRaw(relayed(ann->udp.port, punch), server->udpPort);
  EXPECT_FALSE(ann->udp.receive(200));
}

}  // namespace
