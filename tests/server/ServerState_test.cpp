// The server's parts in process: the store, and the rules of the shared state with a clock
// the test moves.
#include "ServerState.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "Options.h"
#include "ServerProcess.h"
#include "Store.h"
#include "support/TestSupport.h"

using namespace servertest;

namespace {

sockaddr_in address(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(0x0A000001);  // 10.0.0.1
  return a;
}

TEST(StoreTest, AccountNamesIgnoreLetterCase) {
  testsupport::TempDir temp;
  Store store(temp.file("db"));
  int64_t id = 0;
  EXPECT_TRUE(store.addAccount("Ann@Example.com", "k1", id));
  EXPECT_GT(id, 0);
  EXPECT_FALSE(store.addAccount("ann@example.COM", "k2", id));
  const auto account = store.findAccount("ANN@EXAMPLE.COM");
  ASSERT_TRUE(account);
  EXPECT_EQ("Ann@Example.com", account->name);
  EXPECT_EQ("k1", account->key);
  store.putAccount("ann@example.com", "k3");
  EXPECT_EQ("k3", store.findAccount("Ann@Example.com")->key);
}

TEST(StoreTest, EverythingSurvivesReopening) {
  testsupport::TempDir temp;
  {
    Store store(temp.file("db"));
    store.putAccount("ann@example.com", "key");
    Computer computer;
    computer.uuid = "pc";
    computer.accountId = 1;
    computer.loginChallenge = 9;
    computer.echoChallenges = {INT64_MAX, 1, -3};
    computer.name = "laptop";
    computer.ip = "1.2.3.4";
    computer.port = 50000;
    computer.internalIp = "10.0.0.2";
    store.saveComputer(computer);
    EXPECT_TRUE(store.addTicket({"ABC123", "ann@example.com", "pc", "bob@example.com", "hi", 5}));
    EXPECT_FALSE(store.addTicket({"ABC123", "x", "y", "z", "", 6}));
    store.addMail("bob@example.com", "subject", "body");
  }
  Store store(temp.file("db"));
  EXPECT_EQ("key", store.findAccount("ann@example.com")->key);
  const auto computer = store.findComputer("pc");
  ASSERT_TRUE(computer);
  EXPECT_EQ(std::vector<int64_t>({INT64_MAX, 1, -3}), computer->echoChallenges);
  EXPECT_EQ(9, computer->loginChallenge);
  EXPECT_EQ("laptop", computer->name);
  EXPECT_EQ(50000, computer->port);
  EXPECT_EQ("10.0.0.2", computer->internalIp);
  const auto ticket = store.findTicket("ABC123");
  ASSERT_TRUE(ticket);
  EXPECT_EQ("bob@example.com", ticket->toUser);
  EXPECT_EQ("hi", ticket->text);
  EXPECT_FALSE(store.findTicket("abc123"));
  ASSERT_EQ(1u, store.mails().size());
  EXPECT_EQ("body", store.mails()[0].body);
}

// Two computers logged in over the web, ready to echo at times the test chooses.
class StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store.putAccount("ann@example.com", annKey);
    loginChallenge = login("ann-pc");
    login("bob-pc");
  }

  int64_t login(const std::string& uuid) {
    const auto result = state.login(uuid, "ann@example.com", &annKey, "1", sha1("1" + annKey));
    EXPECT_EQ(200, result.status);
    return result.challenge;
  }

  ServerState::EchoResult echo(const std::string& uuid, int64_t challenge, int port, int64_t now) {
    return state.echo({uuid, "ann@example.com", sha1(std::to_string(challenge) + annKey), "", ""},
                      address(port), now);
  }

  testsupport::TempDir temp;
  Store store{temp.file("db")};
  ServerState state{store};
  const std::string annKey = userKey("ann@example.com", "pw");
  int64_t loginChallenge = 0;
};

TEST_F(StateTest, AnEchoKeepsAComputerLiveFor61Seconds) {
  const int64_t t = 1000000;
  ASSERT_EQ(1, echo("ann-pc", loginChallenge, 4000, t).code);
  ASSERT_EQ(1, echo("bob-pc", store.findComputer("bob-pc")->loginChallenge, 5000, t).code);
  EXPECT_TRUE(state.liveAddress("ann-pc", t + ServerState::LIVE_MS));
  EXPECT_NE(ServerState::Relay::refused, state.relay(address(4000), address(5000), 100, t + 61000));
  EXPECT_FALSE(state.liveAddress("ann-pc", t + ServerState::LIVE_MS + 1));
  EXPECT_EQ(ServerState::Relay::refused, state.relay(address(4000), address(5000), 100, t + 61001));
}

TEST_F(StateTest, AnEchoFromANewAddressMovesTheComputer) {
  const int64_t t = 1000000;
  const auto first = echo("ann-pc", loginChallenge, 4000, t);
  ASSERT_EQ(1, first.code);
  ASSERT_EQ(1, echo("bob-pc", store.findComputer("bob-pc")->loginChallenge, 5000, t).code);
  ASSERT_EQ(1, echo("ann-pc", first.challenge, 4001, t + 10).code);
  EXPECT_EQ(4001, ntohs(state.liveAddress("ann-pc", t + 10)->sin_port));
  EXPECT_EQ(ServerState::Relay::refused, state.relay(address(4000), address(5000), 100, t + 20));
  EXPECT_NE(ServerState::Relay::refused, state.relay(address(4001), address(5000), 100, t + 20));
  // A refused echo moves nothing.
  EXPECT_EQ(0, echo("ann-pc", 12345, 4002, t + 30).code);
  EXPECT_EQ(4001, ntohs(state.liveAddress("ann-pc", t + 30)->sin_port));
}

TEST_F(StateTest, RelayRateIsBoundedPerPair) {
  const int64_t t = 1000000;
  ASSERT_EQ(1, echo("ann-pc", loginChallenge, 4000, t).code);
  ASSERT_EQ(1, echo("bob-pc", store.findComputer("bob-pc")->loginChallenge, 5000, t).code);
  login("carol-pc");
  ASSERT_EQ(1, echo("carol-pc", store.findComputer("carol-pc")->loginChallenge, 6000, t).code);

  EXPECT_EQ(ServerState::Relay::forwardFirst, state.relay(address(4000), address(5000), 1424, t));
  EXPECT_EQ(ServerState::Relay::forward, state.relay(address(5000), address(4000), 1424, t));
  // Both directions draw on one allowance: the burst, then the rate.
  int64_t burst = 2 * 1424;
  while (state.relay(address(4000), address(5000), 1424, t) == ServerState::Relay::forward)
    burst += 1424;
  EXPECT_GE(burst, ServerState::RELAY_BURST_BYTES - 1424);
  EXPECT_LE(burst, ServerState::RELAY_BURST_BYTES);
  EXPECT_EQ(ServerState::Relay::overRate, state.relay(address(5000), address(4000), 1424, t));
  // Another pair is not held back by this one.
  EXPECT_EQ(ServerState::Relay::forwardFirst, state.relay(address(4000), address(6000), 1424, t));

  // Over the next second, sent as fast as it is allowed, one millisecond at a time.
  int64_t second = 0;
  for (int64_t ms = 1; ms <= 1000; ++ms)
    while (state.relay(address(4000), address(5000), 1424, t + ms) == ServerState::Relay::forward)
      second += 1424;
  EXPECT_GE(second, ServerState::RELAY_BYTES_PER_SECOND - 1424);
  EXPECT_LE(second, ServerState::RELAY_BYTES_PER_SECOND + 1424);
}

TEST_F(StateTest, BrowserSignInIsHandedOutOnceAndExpires) {
  const int64_t t = 1000000;
  EXPECT_FALSE(state.signIn("new-pc", "ann@example.com", "wrong", t));
  EXPECT_TRUE(state.signIn("new-pc", "ANN@example.com", "pw", t));
  ServerState::SignIn signIn = state.takeSignIn("new-pc", t + 1);
  EXPECT_EQ("ann@example.com", signIn.name);
  EXPECT_EQ(annKey, signIn.key);
  EXPECT_EQ(store.findComputer("new-pc")->loginChallenge, signIn.challenge);
  EXPECT_EQ("", state.takeSignIn("new-pc", t + 2).name);

  EXPECT_TRUE(state.signIn("new-pc", "ann@example.com", "pw", t));
  EXPECT_EQ("", state.takeSignIn("new-pc", t + ServerState::SIGN_IN_MS + 1).name);
}

TEST(OptionsTest, DefaultsAndRefusals) {
  const Options options = Options::parse({"--data", "d"});
  EXPECT_EQ("127.0.0.1", options.host);
  EXPECT_EQ(4443, options.httpsPort);
  EXPECT_EQ(4183, options.udpPort);
  EXPECT_FALSE(options.noRelay);
  const Options added = Options::parse({"--add-user", "a@b.c", "pw", "--data", "d", "--no-relay"});
  EXPECT_TRUE(added.addUser);
  EXPECT_EQ("pw", added.addUserPassword);
  EXPECT_TRUE(added.noRelay);

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--data"},
                                             {"--data", "d", "--https-port", "0"},
                                             {"--data", "d", "--udp-port", "65536"},
                                             {"--data", "d", "--udp-port", "12ab"},
                                             {"--data", "d", "--host", "example.com"},
                                             {"--data", "d", "--host", "0.0.0.0"},
                                             {"--data", "d", "--add-user", "a@b.c"},
                                             {"--data", "d", "--port", "1"}})
    EXPECT_THROW(Options::parse(args), std::runtime_error) << ::testing::PrintToString(args);
}

}  // namespace
