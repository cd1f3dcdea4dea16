// The Manager as its clients meet it: the local HTTP commands, the account operations and the
// offers against the real stand-in server, and the age of an offer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "support/EngineFixture.h"
#include "support/EngineProcess.h"

using namespace enginetest;
using net::Api;

namespace {

// One raw request to the local HTTP server; the whole answer.
std::string rawHttp(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = servertest::loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    send(fd, request.data(), request.size(), 0);
  std::string answer;
  char buffer[1024];
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  return answer;
}

}  // namespace

TEST(ManagerHttp, RecvAndRaiseAnswerAndEmitAndEverythingElseIsRefused) {
  LocalEngine engine;
  const int port = engine.manager->httpPort();
  ASSERT_GT(port, 0);
  struct Case {
    std::string target, status, body;
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
    // The engine's loop runs while the request runs on another thread.
    auto asked = std::async(std::launch::async, rawHttp, port, "GET " + c.target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    engine.runUntil([&] { return asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
    const std::string answer = asked.get();
    EXPECT_EQ(answer.rfind("HTTP/1.1 " + c.status, 0), 0u) << c.target << ": " << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << c.target;
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
  // An offer whose answer would not fit one frame is not made: the exchange could never send it.
  const std::vector<std::string> many(700, std::string(100, 'p'));
  m.ticketSendCode(0, "bob@example.com", many, "HUGE", now);
  m.ticketSend(9, "bob@example.com", many, "", false);
  EXPECT_TRUE(m.findTicket("HUGE", "bob@example.com").code.empty());
  ASSERT_TRUE(engine.runUntil([&] { return engine.events.count(Api::TICKET_CREATE) == 1; }));
  EXPECT_EQ(engine.events.last<Api::TicketCreateEvent>(Api::TICKET_CREATE)->reason, "too many paths for one offer");

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
  LocalEngine engine(server);
  net::Manager& m = *engine.manager;
  auto await = [&](Api::EventType type, size_t count) {
    EXPECT_TRUE(engine.runUntil([&] { return engine.events.count(type) == count; }, 15000)) << type;
  };
  // The fixture's account is unknown to the server: the login is refused until one is set.
  ASSERT_TRUE(engine.logIn(alice.user, alice.password));
  const auto* login = engine.events.last<Api::LoginEvent>(Api::LOGIN);
  EXPECT_EQ(std::make_tuple(login->status, login->username), std::make_tuple(0, alice.user));
  EXPECT_EQ(m.getProperties()->userkey, alice.key());

  m.ticketSend(2, "bob@example.com", {"/data/photos"}, "hello", false);
  await(Api::TICKET_CREATE, 1);
  const auto* created = engine.events.last<Api::TicketCreateEvent>(Api::TICKET_CREATE);
  EXPECT_EQ(std::make_tuple(created->commandId, created->reason), std::make_tuple(2, std::string()));
  EXPECT_EQ(m.findTicket(created->code, "bob@example.com").files.front(), "/data/photos");

  m.newUser(3, "carol@example.com", "carol-pw");
  await(Api::NEW_USER, 1);
  EXPECT_EQ(engine.events.last<Api::NewUserEvent>(Api::NEW_USER)->status, 1);
  EXPECT_EQ(m.getProperties()->username, "carol@example.com");  // a new account is the one in use
  m.forgotPassword(4, "alice@example.com");
  await(Api::FORGOT_PASSWORD, 1);
  EXPECT_EQ(engine.events.last<Api::ForgotPasswordEvent>(Api::FORGOT_PASSWORD)->status, 1);

  m.newUser(5, "carol@example.com", "other");  // taken: refused, settings unchanged
  await(Api::NEW_USER, 2);
  const auto* refused = engine.events.last<Api::NewUserEvent>(Api::NEW_USER);
  EXPECT_EQ(refused->status, 0);
  EXPECT_FALSE(refused->reason.empty());
  EXPECT_EQ(m.getProperties()->userkey, servertest::userKey("carol@example.com", "carol-pw"));
}
