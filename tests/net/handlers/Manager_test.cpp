// The Manager as its clients meet it: the local HTTP commands, the account operations and the
// offers against the real stand-in server, and the age of an offer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "net/handlers/EngineFixture.h"
#include "support/EngineProcess.h"

using namespace enginetest;
using net::Api;

namespace {

// One raw request to the local HTTP server; the whole answer.
std::string rawHttp(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = servertest::loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "";
  }
  send(fd, request.data(), request.size(), 0);
  std::string answer;
  char buffer[1024];
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  return answer;
}

// Runs the engine's loop while `request` runs on another thread; its result.
template <class F>
auto whileLooping(LocalEngine& engine, F request) {
  auto result = std::async(std::launch::async, request);
  engine.runUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
  return result.get();
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(ManagerHttp, RecvAndRaiseAnswerAndEmitAndEverythingElseIsRefused) {
  LocalEngine engine;
  const int port = engine.manager->httpPort();
  ASSERT_GT(port, 0);
  struct Case {
    std::string target;
    std::string status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"/RECV?code=AbC", "200", "{\"message\":\"Ok\",\"status\":200}\n"},
      {"/RECV?code=a%20b&callback=whatever", "200", "__link_callback_({\"message\":\"Ok\",\"status\":200})\n"},
      {"/RAISE?x=1", "200", "\n"},
      {"/RECV?code=", "404", "not found /RECV\n"},
      {"/RECV", "404", "not found /RECV\n"},
      {"/recv?code=AbC", "404", "not found /recv\n"},
      {"/RECV?code=a\tb", "400", "bad code\n"},
      {"http://[::1", "400", "error parsing url\n"},
  };
  for (const Case& c : cases) {
    const std::string answer =
        whileLooping(engine, [&] { return rawHttp(port, "GET " + c.target + " HTTP/1.1\r\nHost: x\r\n\r\n"); });
    EXPECT_TRUE(has(answer, "HTTP/1.1 " + c.status)) << c.target << ": " << answer;
    EXPECT_TRUE(has(answer, "Connection: close")) << c.target;
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), c.body) << c.target;
  }
  engine.runUntil([&] { return engine.events.count(Api::COMMAND_RAISE) == 1; });
  EXPECT_EQ(engine.events.count(Api::COMMAND_RECV), 2u);
  EXPECT_EQ(engine.events.count(Api::COMMAND_RAISE), 1u);
  EXPECT_EQ(engine.events.last<Api::CommandRecvEvent>(Api::COMMAND_RECV)->ticket, "a%20b");
}

TEST(ManagerOffers, AnOfferIsFoundForItsRecipientUntilItIsSevenDaysOld) {
  LocalEngine engine;
  int64_t now = 1'700'000'000;
  engine.manager->setWallClock([&] { return now; });
  net::Manager& m = *engine.manager;
  m.ticketSendCode(0, "bob@example.com", {"/a", "/b"}, "CODE", now);
  m.ticketSendCode(0, "bob@example.com", {"/newer"}, "CODE", now + 10);
  m.ticketSendCode(0, "carol@example.com", {"/future"}, "LATER", now + 86400);

  net::IContext::Ticket found = m.findTicket("CODE", "bob@example.com");
  EXPECT_EQ(found.files.front(), "/newer");  // the newest first
  EXPECT_TRUE(m.findTicket("CODE", "carol@example.com").code.empty());
  EXPECT_TRUE(m.findTicket("NOPE", "bob@example.com").code.empty());
  EXPECT_EQ(m.findTicket("LATER", "carol@example.com").code, "LATER");  // dated ahead: still valid

  now += 10 + 604799;
  EXPECT_EQ(m.findTicket("CODE", "bob@example.com").files.front(), "/newer");
  now += 1;  // exactly seven days for the newer offer, and the older is past it
  EXPECT_TRUE(m.findTicket("CODE", "bob@example.com").code.empty());
}

// Against the real stand-in: login state, register, forgotten password and a ticket offer.
TEST(ManagerServer, AccountsAndOffersAgainstTheStandIn) {
  testsupport::TempDir data;
  servertest::ServerProcess server(data.file("server"));
  const Account alice{"alice@example.com", "alice-pw"};
  addAccount(server, alice);
  {
    LocalEngine engine("https://127.0.0.1:" + std::to_string(server.httpsPort) + "/", server.udpPort,
                       testsupport::readFile(server.caPath()));
    net::Manager& m = *engine.manager;
    // The fixture's account is unknown to the server: the login is refused until one is set.
    m.doLogin(1, alice.user, alice.password);
    ASSERT_TRUE(engine.runUntil([&] {
      const auto* login = engine.events.last<Api::LoginEvent>(Api::LOGIN);
      return login && login->status == 0;
    }, 15000));
    EXPECT_TRUE(m.isConnected());
    const auto* login = engine.events.last<Api::LoginEvent>(Api::LOGIN);
    EXPECT_EQ(login->username, alice.user);
    EXPECT_EQ(m.getProperties()->userkey, alice.key());

    m.ticketSend(2, "bob@example.com", {"/data/photos"}, "hello", false);
    ASSERT_TRUE(engine.runUntil([&] { return engine.events.count(Api::TICKET_CREATE) == 1; }, 10000));
    const auto* created = engine.events.last<Api::TicketCreateEvent>(Api::TICKET_CREATE);
    EXPECT_EQ(created->commandId, 2);
    EXPECT_EQ(created->reason, "");
    ASSERT_FALSE(created->code.empty());
    EXPECT_EQ(m.findTicket(created->code, "bob@example.com").files.front(), "/data/photos");

    m.newUser(3, "carol@example.com", "carol-pw");
    m.forgotPassword(4, "alice@example.com");
    ASSERT_TRUE(engine.runUntil([&] {
      return engine.events.count(Api::NEW_USER) == 1 && engine.events.count(Api::FORGOT_PASSWORD) == 1;
    }, 10000));
    const auto* registered = engine.events.last<Api::NewUserEvent>(Api::NEW_USER);
    EXPECT_EQ(registered->status, 1) << registered->reason;
    EXPECT_EQ(m.getProperties()->username, "carol@example.com");  // a new account is the one in use
    EXPECT_EQ(engine.events.last<Api::ForgotPasswordEvent>(Api::FORGOT_PASSWORD)->status, 1);

    m.newUser(5, "carol@example.com", "other");  // taken: refused, settings unchanged
    ASSERT_TRUE(engine.runUntil([&] { return engine.events.count(Api::NEW_USER) == 2; }, 10000));
    const auto* refused = engine.events.last<Api::NewUserEvent>(Api::NEW_USER);
    EXPECT_EQ(refused->status, 0);
    EXPECT_FALSE(refused->reason.empty());
    EXPECT_EQ(m.getProperties()->userkey, servertest::userKey("carol@example.com", "carol-pw"));
  }
}
