// The ticket exchange between two engines in two processes, through the real stand-in server
// on loopback: the sender (engine-peer) keeps the offers, the receiver is either another
// engine-peer or this process, which can also send what an honest receiver never would.
#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <regex>

#include "net/handlers/EngineFixture.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "support/EngineProcess.h"

using namespace enginetest;
using net::Message;

namespace {

const Account alice{"alice@example.com", "alice-pw"};
const Account bob{"bob@example.com", "bob-pw"};
const Account carol{"carol@example.com", "carol-pw"};

std::string settingOf(const std::string& iniPath, const std::string& key) {
  std::smatch m;
  const std::string text = testsupport::readFile(iniPath);
  return std::regex_search(text, m, std::regex("\\n" + key + " = ([^\\n]*)")) ? m[1].str() : "";
}

// What a receiving connection of this process heard.
struct Outcome : net::PeerManager::Listener {
  bool answered = false;
  int32_t status = -1;
  std::string reason;
  std::vector<std::string> paths;
  std::optional<std::string> closed;
  void onNotify(net::PeerManager*, void* data) override {
    const auto* response = static_cast<const net::TicketResponse*>(data);
    answered = true;
    status = response->status;
    reason = response->reason;
    paths = response->paths;
  }
  void onClose(net::PeerManager* pm, const std::string& why) override {
    closed = why;
    pm->setListener(nullptr);
  }
};

// A receiver that signs with a key it does not have.
struct ForgingHandler : net::IHandler {
  ForgingHandler(net::IContext* c, std::string code, std::string peerUuid)
      : IHandler(c), code(std::move(code)), peerUuid(std::move(peerUuid)) {}
  void handleSend() override {
    if (sent) return;
    sent = true;
    net::TicketRequest request;
    request.uuid = context->uuid();
    request.username = context->username();
    request.signature = std::string(40, 'a');
    request.ticket = code;
    request.peerUuid = peerUuid;
    context->send(&request);
  }
  void handleRecv(const Message* m) override {
    context->notify(const_cast<Message*>(m));
    context->close(false, "");
  }
  std::string code, peerUuid;
  bool sent = false;
};

class TicketExchange : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data = new testsupport::TempDir();
    server = new servertest::ServerProcess(data->file("server"));
    for (const Account& a : {alice, bob, carol}) addAccount(*server, a);
    senderHome = new EngineHome(*server, alice, data->file("alice"));
    sender = new EngineProcess(*senderHome);
    sender->waitLoggedIn();
    senderUuid = settingOf(senderHome->dir + "/properties.ini", "uuid");
  }
  static void TearDownTestSuite() {
    delete sender;
    delete senderHome;
    delete server;
    delete data;
  }

  // Runs one exchange from this process, logged in as bob, with the handler `factory` makes.
  Outcome exchange(const net::PeerManager::HandlerFactory& factory) {
    Outcome outcome;
    {
      LocalEngine engine("https://127.0.0.1:" + std::to_string(server->httpsPort) + "/", server->udpPort,
                         testsupport::readFile(server->caPath()));
      engine.manager->doLogin(0, bob.user, bob.password);
      EXPECT_TRUE(engine.runUntil([&] { return engine.manager->isConnected(); }, 15000));
      auto* pm = new net::PeerManager(engine.manager.get(), senderUuid, factory);
      pm->setListener(&outcome);
      engine.runUntil([&] { return outcome.closed.has_value(); }, 20000);
    }
    return outcome;
  }

  Outcome exchangeFor(const std::string& code) {
    p2p::TicketGetResponse sender;
    sender.uuid = senderUuid;
    sender.userName = alice.user;
    return exchange([=](net::IContext* c) { return new net::TicketRecvHandler(c, code, sender); });
  }

  static void offer(const std::string& code, const std::string& to, int64_t createdAt,
                    const std::vector<std::string>& files) {
    sender->command({{"op", "sendcode"}, {"id", 0}, {"to", to}, {"code", code}, {"createdAt", createdAt},
                     {"files", files}});
  }

  static testsupport::TempDir* data;
  static servertest::ServerProcess* server;
  static EngineHome* senderHome;
  static EngineProcess* sender;
  static std::string senderUuid;
};

testsupport::TempDir* TicketExchange::data;
servertest::ServerProcess* TicketExchange::server;
EngineHome* TicketExchange::senderHome;
EngineProcess* TicketExchange::sender;
std::string TicketExchange::senderUuid;

}  // namespace

TEST_F(TicketExchange, AnHonestReceiverGetsThePathsInOrderAndEveryoneElseTicketNotFound) {
  const int64_t now = std::time(nullptr);
  offer("GOOD", bob.user, now, {"/z/first", "/a/second"});
  offer("CAROLS", carol.user, now, {"/secret"});
  offer("OLD", bob.user, now - 604800, {"/old"});
  offer("AHEAD", bob.user, now + 3600, {"/ahead"});

  Outcome good = exchangeFor("GOOD");
  EXPECT_EQ(good.status, Message::OK);
  EXPECT_EQ(good.reason, "");
  EXPECT_EQ(good.paths, (std::vector<std::string>{"/z/first", "/a/second"}));
  EXPECT_EQ(good.closed, "");
  EXPECT_EQ(exchangeFor("AHEAD").paths, std::vector<std::string>{"/ahead"});

  for (const std::string code : {"CAROLS", "OLD", "NOPE"}) {
    Outcome refused = exchangeFor(code);
    EXPECT_TRUE(refused.answered) << code;
    EXPECT_EQ(refused.status, Message::NOT_FOUND) << code;
    EXPECT_EQ(refused.reason, "Ticket not found") << code;
    EXPECT_TRUE(refused.paths.empty()) << code;
  }

  Outcome forged = exchange([](net::IContext* c) { return new ForgingHandler(c, "GOOD", senderUuid); });
  EXPECT_EQ(forged.status, Message::NOT_FOUND);
  EXPECT_EQ(forged.reason, "Ticket not found");
  EXPECT_TRUE(forged.paths.empty());
}

TEST_F(TicketExchange, TheReceiveSequenceReportsTheOfferAndASilentSender) {
  EngineHome bobHome(*server, bob, data->file("bob"));
  EngineProcess receiver(bobHome);
  receiver.waitLoggedIn();

  receiver.command({{"op", "recv"}, {"id", 1}, {"code", "UNKNOWN-CODE"}});
  auto unknown = receiver.waitFor("TICKET_GET", 1);
  ASSERT_TRUE(unknown);
  EXPECT_EQ((*unknown)["reason"], "Not Found");

  sender->command({{"op", "send"}, {"id", 7}, {"to", bob.user}, {"files", {"/only/path"}}});
  auto created = sender->waitFor("TICKET_CREATE", 7);
  ASSERT_TRUE(created);
  const std::string code = (*created)["code"];
  ASSERT_FALSE(code.empty()) << created->dump();
  receiver.command({{"op", "recv"}, {"id", 2}, {"code", code}});
  auto accepted = receiver.waitFor("TICKET_GET", 2);
  ASSERT_TRUE(accepted);
  EXPECT_EQ((*accepted)["reason"], "");
  EXPECT_EQ((*accepted)["paths"], json({"/only/path"}));
  receiver.command({{"op", "pause"}, {"id", 3}, {"code", code}});
}

TEST_F(TicketExchange, ASenderThatHasGoneOfflineCannotBeFound) {
  EngineHome carolHome(*server, carol, data->file("carol"));
  auto gone = std::make_unique<EngineProcess>(carolHome);
  gone->waitLoggedIn();
  gone->command({{"op", "send"}, {"id", 1}, {"to", bob.user}, {"files", {"/x"}}});
  auto created = gone->waitFor("TICKET_CREATE", 1);
  ASSERT_TRUE(created);
  gone->kill9();

  EngineHome bobHome(*server, bob, data->file("bob-2"));
  EngineProcess receiver(bobHome);
  receiver.waitLoggedIn();
  receiver.command({{"op", "recv"}, {"id", 2}, {"code", (*created)["code"]}});
  auto lost = receiver.waitFor("TICKET_GET", 2, 30000);
  ASSERT_TRUE(lost);
  EXPECT_EQ((*lost)["reason"], "can't find peer");
  EXPECT_TRUE((*lost)["paths"].empty());
}

TEST_F(TicketExchange, SeveralReceivesFromOneSenderAtOnce) {
  EngineHome bobHome(*server, bob, data->file("bob-3"));
  EngineProcess receiver(bobHome);
  receiver.waitLoggedIn();
  std::vector<std::string> codes;
  for (int id = 21; id < 29; ++id) {
    sender->command({{"op", "send"}, {"id", id}, {"to", bob.user}, {"files", {"/p" + std::to_string(id)}}});
    auto created = sender->waitFor("TICKET_CREATE", id);
    ASSERT_TRUE(created);
    codes.push_back((*created)["code"]);
  }
  for (int i = 0; i < 8; ++i) receiver.command({{"op", "recv"}, {"id", 31 + i}, {"code", codes[i]}});
  for (int i = 0; i < 8; ++i) {
    auto got = receiver.waitFor("TICKET_GET", 31 + i);
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["reason"], "") << i;
  }
}
