// The rules of the server's shared state, with a clock the test moves, and its command line.
#include "ServerState.h"

#include <gtest/gtest.h>

#include "Options.h"
#include "support/ServerProcess.h"

using namespace servertest;

namespace {

sockaddr_in address(int port) {
  sockaddr_in a = loopback(port);
  a.sin_addr.s_addr = htonl(0x0A000001);  // 10.0.0.1
  return a;
}

// Computers of one account that log in and echo at times the test chooses.
class StateTest : public ::testing::Test {
 protected:
  void SetUp() override { store.putAccount("ann@example.com", annKey); }

  // Logs the computer in and echoes from `port`; the echo's answer.
  ServerState::EchoResult live(const std::string& uuid, int port, int64_t now) {
    const auto login = state.login(uuid, "ann@example.com", &annKey, "1", sha1("1" + annKey));
    EXPECT_EQ(200, login.status);
    return echo(uuid, login.challenge, port, now);
  }
  ServerState::EchoResult echo(const std::string& uuid, int64_t challenge, int port, int64_t now) {
    return state.echo({uuid, "ann@example.com", sha1(std::to_string(challenge) + annKey), "", ""},
                      address(port), now);
  }
  ServerState::Relay relay(int from, int to, int64_t now, size_t bytes = 100) {
    return state.relay(address(from), address(to), bytes, now);
  }

  testsupport::TempDir temp;
  Store store{temp.file("db")};
  ServerState state{store};
  const std::string annKey = userKey("ann@example.com", "pw");
  const int64_t t = 1000000;
};

TEST_F(StateTest, LivenessAndAddressFollowTheLastGoodEcho) {
  const auto first = live("ann-pc", 4000, t);
  ASSERT_EQ(1, first.code);
  ASSERT_EQ(1, live("bob-pc", 5000, t).code);
  // An echo from a new address moves the computer; a refused one moves nothing.
  ASSERT_EQ(1, echo("ann-pc", first.challenge, 4001, t + 10).code);
  EXPECT_EQ(ServerState::Relay::refused, relay(4000, 5000, t + 20));
  EXPECT_NE(ServerState::Relay::refused, relay(4001, 5000, t + 20));
  EXPECT_EQ(0, echo("ann-pc", 12345, 4002, t + 30).code);
  EXPECT_EQ(4001, ntohs(state.liveAddress("ann-pc", t + 30)->sin_port));

  EXPECT_TRUE(state.liveAddress("bob-pc", t + ServerState::LIVE_MS));
  EXPECT_NE(ServerState::Relay::refused, relay(4001, 5000, t + ServerState::LIVE_MS));
  EXPECT_FALSE(state.liveAddress("bob-pc", t + ServerState::LIVE_MS + 1));
  EXPECT_EQ(ServerState::Relay::refused, relay(4001, 5000, t + ServerState::LIVE_MS + 1));
}

TEST_F(StateTest, RelayRateIsBoundedPerPair) {
  for (auto [uuid, port] : {std::pair("ann-pc", 4000), {"bob-pc", 5000}, {"carol-pc", 6000}})
    ASSERT_EQ(1, live(uuid, port, t).code);
  EXPECT_EQ(ServerState::Relay::forwardFirst, relay(4000, 5000, t, 1424));
  EXPECT_EQ(ServerState::Relay::forward, relay(5000, 4000, t, 1424));
  // Both directions draw on one allowance: the burst, then the rate.
  int64_t burst = 2 * 1424;
  while (relay(4000, 5000, t, 1424) == ServerState::Relay::forward) burst += 1424;
  EXPECT_GE(burst, ServerState::RELAY_BURST_BYTES - 1424);
  EXPECT_LE(burst, ServerState::RELAY_BURST_BYTES);
  EXPECT_EQ(ServerState::Relay::overRate, relay(5000, 4000, t, 1424));
  // Another pair is not held back by this one.
  EXPECT_EQ(ServerState::Relay::forwardFirst, relay(4000, 6000, t, 1424));

  // Over the next second, sent as fast as it is allowed, one millisecond at a time.
  int64_t second = 0;
  for (int64_t ms = 1; ms <= 1000; ++ms)
    while (relay(4000, 5000, t + ms, 1424) == ServerState::Relay::forward) second += 1424;
  EXPECT_GE(second, ServerState::RELAY_BYTES_PER_SECOND - 1424);
  EXPECT_LE(second, ServerState::RELAY_BYTES_PER_SECOND + 1424);
}

// Handed out once is seen over HTTPS; the waiting time is not.
TEST_F(StateTest, BrowserSignInExpires) {
  for (int64_t wait : {ServerState::SIGN_IN_MS, ServerState::SIGN_IN_MS + 1}) {
    EXPECT_TRUE(state.signIn("new-pc", "ANN@example.com", "pw", t));
    EXPECT_EQ(wait == ServerState::SIGN_IN_MS ? annKey : "",
              state.takeSignIn("new-pc", t + wait).key);
  }
}

TEST(OptionsTest, RefusesBadCommandLines) {
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
