// The HTTPS calls of the real mirelServer, as the clients make them.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "Store.h"
#include "support/ServerProcess.h"
#include "utils/Base64.h"

using namespace servertest;
using testsupport::readFile;

namespace {

const std::string ANN = "ann@example.com";
const std::string ANN_PASSWORD = "secret-a";
const std::string BOB = "bob@example.com";
const std::string ANN_KEY = userKey(ANN, ANN_PASSWORD);
const std::string BOB_KEY = userKey(BOB, "secret-b");

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [user, password] :
         {std::pair(ANN, ANN_PASSWORD), std::pair(BOB, std::string("secret-b"))})
      ASSERT_EQ(0, ServerProcess::runToEnd({"--data", data, "--add-user", user, password},
                                           temp.file("add-user.log")));
    server = std::make_unique<ServerProcess>(data);
  }
  // A clean stop also tells that the sanitizers found nothing in the child.
  void TearDown() override { EXPECT_EQ(0, server->stop()) << server->log(); }

  long status(const std::string& query) { return server->get(query).status; }
  nlohmann::json json(const std::string& query) {
    return nlohmann::json::parse(server->get(query).body);
  }

  testsupport::TempDir temp;
  std::string data = temp.file("data");
  std::unique_ptr<ServerProcess> server;
};

TEST_F(WebTest, LoginRegisterVerifyAndBrowserSignIn) {
  // The key once; then the computer is bound, and each login gets a new challenge.
  EXPECT_EQ(423, status(loginQuery("pc-1", ANN, ANN_KEY, false)));
  const long long first = server->login("pc-1", ANN, ANN_KEY);
  const HttpAnswer again = server->get(loginQuery("pc-1", "Ann@Example.COM", ANN_KEY, false, 9));
  EXPECT_EQ(200, again.status);
  EXPECT_NE(std::to_string(first), again.body);
  server->login("receiver", BOB, BOB_KEY);

  const std::string carol =
      "Register?uuid=pc-3&name=carol%40example.com&key=" + userKey("carol@example.com", "pw") +
      "&email=x&verify=true";
  const auto verify = [](const std::string& uuid, const std::string& name, const std::string& sig) {
    return "Verify?myuuid=sender&uuid=" + uuid + "&name=" + enc(name) + "&ip=127.0.0.1&sig=" + sig;
  };
  const std::string wrong = userKey(ANN, "guess");
  const std::pair<std::string, long> calls[] = {
      {loginQuery("pc-1", BOB, BOB_KEY, false), 423},  // another account on the same computer
      {loginQuery("pc-2", ANN, wrong, true), 401},
      {"Login?uuid=pc-2&name=" + enc(ANN) + "&key=" + ANN_KEY +
           "&challenge=5&chkey=" + sha1("5" + wrong),
       401},  // the right key, proved with another
      {"Login?uuid=pc-1&name=" + enc(ANN) + "&challenge=5&chkey=" + sha1("6" + ANN_KEY), 401},
      {loginQuery("pc-2", "nobody@example.com", ANN_KEY, true), 404},
      {loginQuery("pc-2", "", ANN_KEY, false), 404},
      {carol, 200},
      {carol, 409},
      {"Register?uuid=pc-3&name=CAROL%40example.com&key=" + ANN_KEY + "&email=x", 409},
      {"Register?uuid=pc-3&name=dan%40example.com&key=short", 400},
      // The receiver signs its own uuid, the sender's, its name and its key.
      {verify("receiver", BOB, sha1("receiversender" + BOB + BOB_KEY)), 200},
      {verify("receiver", BOB, sha1("receiversender" + BOB + "x")), 403},
      {verify("receiver", BOB, ""), 403},
      {verify("receiver", BOB, sha1("receiverother" + BOB + BOB_KEY)), 403},
      {verify("stranger", BOB, sha1("strangersender" + BOB + BOB_KEY)), 403},
      {verify("receiver", ANN, sha1("receiversender" + ANN + ANN_KEY)), 403},
      {"Verify?myuuid=sender&uuid=receiver&name=" + enc(BOB), 400},
      {"Oauth2?uuid=%22%3E%3Cscript%3E&provider=google", 400},  // would break out of the page
  };
  for (const auto& [query, expected] : calls) EXPECT_EQ(expected, status(query)) << query;
  // The refusals bound nothing wrong.
  server->login("pc-2", ANN, ANN_KEY);
  server->login("pc-3", "carol@example.com", userKey("carol@example.com", "pw"));

  // The browser sign-in: a wrong password hands out nothing; the right one hands the key out
  // once and binds the computer.
  for (const std::string& password : {std::string("nope"), ANN_PASSWORD}) {
    const std::string form = "uuid=web-pc&email=" + enc(ANN) + "&password=" + password;
    EXPECT_EQ(password == ANN_PASSWORD ? 200 : 401, https(server->url("Oauth2"), server->caPath(), &form).status);
    EXPECT_EQ(password == ANN_PASSWORD ? ANN_KEY : "", json("Oauth2response?uuid=web-pc").at("key"));
  }
  EXPECT_EQ("", json("Oauth2response?uuid=web-pc").at("key"));
  EXPECT_EQ(200, status(loginQuery("web-pc", ANN, ANN_KEY, false)));
}

TEST_F(WebTest, OnlyItsUserOffersFromAComputerAndOnlyTheRecipientLearnsTheSender) {
  server->login("ann-pc", ANN, ANN_KEY);
  server->login("bob-pc", BOB, BOB_KEY);
  const auto create = [](const std::string& uuid, const std::string& user) {
    return "TicketCreate?uuid=" + uuid + "&username=" + enc(user) + "&toUsername=" + enc(BOB) +
           "&sendEmail=true&text=";
  };
  for (const auto& [uuid, user] :
       {std::pair("ann-pc", BOB), {"nowhere-pc", ANN}, {"ann-pc", "nobody@example.com"}})
    EXPECT_EQ(401, status(create(uuid, user))) << uuid << " " << user;
  const std::string code = json(create("ann-pc", "Ann@Example.com")).at("name");

  const auto get = [&](const std::string& uuid, const std::string& user) {
    return "TicketGet?uuid=" + uuid + "&username=" + enc(user) + "&name=" + code;
  };
  // To anyone but the recipient, on a computer logged in as that user, the code is unknown.
  for (const auto& [uuid, user] :
       {std::pair("ann-pc", ANN), {"ann-pc", BOB}, {"bob-pc", ANN}, {"nowhere-pc", BOB}})
    EXPECT_EQ(404, status(get(uuid, user))) << uuid << " " << user;
  EXPECT_EQ("ann-pc", json(get("bob-pc", "Bob@Example.com")).at("uuid"));

  ASSERT_EQ(0, server->stop());
  EXPECT_EQ(1u, Store(data + "/mirel.db").mails().size());  // the refused offers sent none
}

TEST_F(WebTest, IdleConnectionsDoNotHoldUpALogin) {
  const int idle = 32;
  std::vector<int> connections;
  for (int i = 0; i < idle; ++i) {
    connections.push_back(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in to = loopback(server->httpsPort);
    ASSERT_EQ(0, connect(connections.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to));
  }
  // The server takes them up first; the login comes behind them.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto begin = std::chrono::steady_clock::now();
  const HttpAnswer answer = server->get(loginQuery("idle-pc", ANN, ANN_KEY, false));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begin)
                      .count();
  EXPECT_EQ(423, answer.status) << answer.error;
  EXPECT_LT(ms, 1000);
  std::cout << "[ figures  ] a login beside " << idle << " idle connections: " << ms << " ms\n";
  for (int fd : connections) close(fd);
}

TEST_F(WebTest, TicketsAccountsAndMailsSurviveARestart) {
  const std::string carolKey = userKey("carol@example.com", "pw");
  ASSERT_EQ(200, status("Register?uuid=pc-c&name=carol%40example.com&key=" + carolKey));
  EXPECT_EQ(200, status("ForgotPassword?name=" + enc(BOB)));
  EXPECT_EQ(200, status("ForgotPassword?name=nobody%40example.com"));  // tells no one who exists
  const long long challenge = server->login("sender-pc", ANN, ANN_KEY);
  server->login("receiver-pc", BOB, BOB_KEY);
  const std::string code =
      json("TicketCreate?uuid=sender-pc&username=" + enc(ANN) + "&toUsername=" + enc(BOB) +
           "&sendEmail=true&text=" + enc(base64_encode("holiday photos + notes")))
          .at("name");
  EXPECT_GE(code.size(), 6u);
  EXPECT_EQ(std::string::npos, code.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ(400, status("TicketCreate?uuid=sender-pc&username=" + enc(ANN)));

  // The ticket names the sender's computer as its last echo saw it; empty before one.
  const std::string ticketGet = "TicketGet?uuid=receiver-pc&username=" + enc(BOB) + "&name=";
  const auto where = [&] {
    const nlohmann::json t = json(ticketGet + code);
    return t.at("userName").get<std::string>() + "|" + t.at("uuid").get<std::string>() + "|" +
           t.at("computerName").get<std::string>() + "|" + t.at("ip").get<std::string>() + "|" +
           t.at("internalIp").get<std::string>() + "|" + std::to_string(t.at("port").get<int>());
  };
  EXPECT_EQ(ANN + "|sender-pc||||0", where());
  UdpPeer peer;
  const auto answer = peer.echo(server->udpPort, "sender-pc", ANN, ANN_KEY, challenge);
  ASSERT_TRUE(answer && answer->code == 1);
  const std::string echoed = ANN + "|sender-pc|sender-pc's computer|127.0.0.1|10.0.0.1|" + std::to_string(peer.port);
  EXPECT_EQ(echoed, where());
  EXPECT_EQ(404, status(ticketGet + "NOSUCH1"));
  EXPECT_EQ(404, status(ticketGet + "a%20b"));

  const std::string ca = readFile(server->caPath());
  ASSERT_EQ(0, server->stop());
  {
    Store store(data + "/mirel.db");
    const std::vector<Mail> mails = store.mails();
    ASSERT_EQ(2u, mails.size());
    EXPECT_EQ(BOB + " " + BOB, mails[0].recipient + " " + mails[1].recipient);
    EXPECT_NE(std::string::npos, mails[0].subject.find("password"));
    EXPECT_NE(std::string::npos, mails[1].body.find(code));
    EXPECT_NE(std::string::npos, mails[1].body.find("holiday photos + notes"));
    EXPECT_EQ(std::string::npos, readFile(data + "/mirel.db").find(ANN_PASSWORD));
  }

  // The authority, accounts, bound computers, tickets and echo challenges are all kept.
  server = std::make_unique<ServerProcess>(data);
  EXPECT_EQ(ca, readFile(server->caPath()));
  EXPECT_EQ(200, status(loginQuery("sender-pc", ANN, ANN_KEY, false)));
  server->login("pc-c", "carol@example.com", carolKey);
  EXPECT_EQ(echoed, where());
  const auto again = peer.echo(server->udpPort, "sender-pc", ANN, ANN_KEY, answer->challenge);
  EXPECT_TRUE(again && again->code == 1);
}

// Sends bytes on a fresh TCP connection, with or without TLS, and returns the head of the
// answer. With `awaitReply` false it hangs up at once.
std::string rawExchange(int port, const std::string& bytes, bool tls, bool awaitReply) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in to = loopback(port);
  const timeval timeout{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  char buffer[4096];
  int n = 0;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 && (!tls || SSL_connect(ssl) == 1)) {
    if (tls)
      SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    else
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    while (awaitReply && reply.find("\r\n\r\n") == std::string::npos &&
           (n = tls ? SSL_read(ssl, buffer, sizeof buffer) : int(recv(fd, buffer, sizeof buffer, 0))) > 0)
      reply.append(buffer, n);
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  close(fd);
  return reply;
}

TEST_F(WebTest, HostileRequestsLeaveItServingConcurrentLogins) {
  // Bytes, whether over TLS, and the answer awaited ("": hang up at once).
  const std::tuple<std::string, bool, std::string> raw[] = {
      {"\x16\x03\x01\xff\xff garbage that is no handshake", false, ""},
      {std::string(5000, '\0'), false, ""},
      {"NONSENSE\r\n\r\n", true, " 400 "},
      {"GET /Login?" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", true, " 414 "},
      {"GET /Login HTTP/1.1\r\nHost: x\r\n" + std::string(20000, 'h'), true, ""},
      {"POST /Oauth2 HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" +
           std::string(100000, 'a'),
       true, " 413 "},
      {"GET /Login?uuid=", true, ""},  // half a request
  };
  for (const auto& [bytes, tls, answer] : raw)
    EXPECT_NE(std::string::npos,
              rawExchange(server->httpsPort, bytes, tls, !answer.empty()).find(answer))
        << answer;

  const std::string chkey = "&chkey=" + sha1("");
  for (const std::string& query : std::vector<std::string>{
           "Login", "Login?uuid=a&name=x&challenge=12x" + chkey,
           "Login?uuid=a&name=x&challenge=99999999999999999999" + chkey,
           "Login?uuid=a%00b&name=x&challenge=1" + chkey,
           "Login?uuid=" + std::string(65, 'u') + "&name=x&challenge=1" + chkey,
           "Verify?myuuid=a&uuid=b&name=%0a&ip=&sig=",
           "TicketCreate?uuid=a&username=x&toUsername=y&text=%25%25%25",
           // Decodes to more than a message may hold.
           "TicketCreate?uuid=a&username=x&toUsername=y&text=" + std::string(5600, 'Q'),
           "Oauth2response"})
    EXPECT_EQ(400, status(query)) << query;
  EXPECT_EQ(404, status("NoSuchCall"));

  server->login("pc-after", ANN, ANN_KEY);  // still serving
}

}  // namespace
