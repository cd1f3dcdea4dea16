// The HTTPS calls of the real mirelServer, as the clients make them.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "ServerProcess.h"
#include "Store.h"
#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/ServerEcho.h"
#include "support/TestSupport.h"
#include "utils/Base64.h"

using namespace servertest;

namespace {

const std::string ANN = "ann@example.com";
const std::string ANN_PASSWORD = "secret-a";
const std::string BOB = "bob@example.com";
const std::string BOB_PASSWORD = "secret-b";

bool isPositiveDecimal(const std::string& s) {
  if (s.empty() || s.size() > 19) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return std::stoll(s) > 0;
}

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    addUser(ANN, ANN_PASSWORD);
    addUser(BOB, BOB_PASSWORD);
    server = std::make_unique<ServerProcess>(data);
  }

  // A clean stop also tells that the sanitizers found nothing in the child.
  void TearDown() override {
    if (server) {
      EXPECT_EQ(0, server->stop()) << server->log();
    }
  }

  void addUser(const std::string& email, const std::string& password) {
    ASSERT_EQ(0, ServerProcess::runToEnd({"--data", data, "--add-user", email, password},
                                         temp.file("add-user.log")));
  }

  HttpAnswer get(const std::string& query) { return https(server->url(query), server->caPath()); }

  // The client's login: without the key first, again with it after 423.
  long long login(const std::string& uuid, const std::string& name, const std::string& key) {
    HttpAnswer answer = get(loginQuery(uuid, name, key, false));
    if (answer.status == 423) answer = get(loginQuery(uuid, name, key, true));
    EXPECT_EQ(200, answer.status) << answer.body << answer.error;
    return answer.status == 200 ? std::stoll(answer.body) : 0;
  }

  testsupport::TempDir temp;
  std::string data = temp.file("data");
  std::unique_ptr<ServerProcess> server;
};

TEST_F(WebTest, LoginAsksForTheKeyOnceThenKnowsTheComputer) {
  const std::string key = userKey(ANN, ANN_PASSWORD);
  HttpAnswer answer = get(loginQuery("pc-1", ANN, key, false));
  EXPECT_EQ(423, answer.status);

  answer = get(loginQuery("pc-1", ANN, key, true));
  ASSERT_EQ(200, answer.status) << answer.error;
  EXPECT_TRUE(isPositiveDecimal(answer.body)) << answer.body;

  // Bound now: the key stays home, and each login gets a new challenge.
  const HttpAnswer again = get(loginQuery("pc-1", ANN, key, false, 123456789));
  ASSERT_EQ(200, again.status);
  EXPECT_TRUE(isPositiveDecimal(again.body));
  EXPECT_NE(answer.body, again.body);
  // The user name is an e-mail address whatever its letter case.
  EXPECT_EQ(200, get(loginQuery("pc-1", "Ann@Example.COM", key, false)).status);
  // Another account on the same computer needs its key again.
  EXPECT_EQ(423, get(loginQuery("pc-1", BOB, userKey(BOB, BOB_PASSWORD), false)).status);
}

TEST_F(WebTest, LoginRefusesWrongKeysAndUnknownUsers) {
  const std::string key = userKey(ANN, ANN_PASSWORD);
  const std::string wrong = userKey(ANN, "guess");
  EXPECT_EQ(401, get(loginQuery("pc-1", ANN, wrong, true).c_str()).status);
  EXPECT_EQ(401, get(loginQuery("pc-1", ANN, userKey(BOB, BOB_PASSWORD), true)).status);
  EXPECT_EQ(404, get(loginQuery("pc-1", "nobody@example.com", key, true)).status);
  EXPECT_EQ(404, get(loginQuery("pc-1", "", key, false)).status);

  // The right key with a proof made from another one.
  std::string query = "Login?uuid=pc-1&name=" + enc(ANN) + "&key=" + key +
                      "&challenge=5&chkey=" + sha1("5" + wrong);
  EXPECT_EQ(401, get(query).status);
  login("pc-1", ANN, key);
  query = "Login?uuid=pc-1&name=" + enc(ANN) + "&challenge=5&chkey=" + sha1("6" + key);
  EXPECT_EQ(401, get(query).status);
  // The refusals bound nothing wrong: the right key still works.
  EXPECT_EQ(200, get(loginQuery("pc-1", ANN, key, false)).status);
}

TEST_F(WebTest, RegisterCreatesAnAccountOnce) {
  const std::string name = "carol@example.com";
  const std::string key = userKey(name, "pw");
  const std::string query = "Register?uuid=pc-3&name=" + enc(name) + "&key=" + key +
                            "&email=" + enc(name) + "&verify=true";
  const HttpAnswer answer = get(query);
  ASSERT_EQ(200, answer.status) << answer.body;
  EXPECT_TRUE(isPositiveDecimal(answer.body)) << answer.body;
  EXPECT_EQ(409, get(query).status);
  EXPECT_EQ(409,
            get("Register?uuid=pc-3&name=CAROL%40example.com&key=" + key + "&email=x&verify=true")
                .status);
  EXPECT_EQ(400, get("Register?uuid=pc-3&name=" + enc(name) + "&key=short").status);
  login("pc-3", name, key);
}

TEST_F(WebTest, VerifyAcceptsOnlyTheSignatureOfTheLoggedInComputer) {
  const std::string key = userKey(BOB, BOB_PASSWORD);
  login("receiver", BOB, key);
  // The receiver signs its own uuid, the sender's uuid, its name and its key.
  const std::string sig = sha1("receiver" + std::string("sender") + BOB + key);
  auto verify = [&](const std::string& uuid, const std::string& name, const std::string& s) {
    return get("Verify?myuuid=sender&uuid=" + uuid + "&name=" + enc(name) +
               "&ip=127.0.0.1&sig=" + s)
        .status;
  };
  EXPECT_EQ(200, verify("receiver", BOB, sig));
  EXPECT_EQ(403, verify("receiver", BOB, sha1("receiver" + std::string("sender") + BOB + "x")));
  EXPECT_EQ(403, verify("receiver", BOB, ""));
  // Signed for another sender.
  EXPECT_EQ(403, verify("receiver", BOB, sha1("receiver" + std::string("other") + BOB + key)));
  // A right signature from a computer that never logged in as that user.
  EXPECT_EQ(403, verify("stranger", BOB, sha1("stranger" + std::string("sender") + BOB + key)));
  EXPECT_EQ(403,
            verify("receiver", ANN,
                   sha1("receiver" + std::string("sender") + ANN + userKey(ANN, ANN_PASSWORD))));
  EXPECT_EQ(400, get("Verify?myuuid=sender&uuid=receiver&name=" + enc(BOB)).status);
}

TEST_F(WebTest, TicketCarriesTheSenderAndItsLastEcho) {
  const std::string key = userKey(ANN, ANN_PASSWORD);
  const long long challenge = login("sender-pc", ANN, key);
  const HttpAnswer created =
      get("TicketCreate?uuid=sender-pc&username=" + enc(ANN) + "&toUsername=" + enc(BOB) +
          "&sendEmail=true&text=" + enc(base64_encode("holiday photos + notes")));
  ASSERT_EQ(200, created.status) << created.body;
  const std::string code = nlohmann::json::parse(created.body).at("name").get<std::string>();
  EXPECT_GE(code.size(), 6u);
  for (char c : code) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << code;

  const std::string getQuery = "TicketGet?uuid=receiver-pc&username=" + enc(BOB) + "&name=" + code;
  nlohmann::json ticket = nlohmann::json::parse(get(getQuery).body);
  EXPECT_EQ(ANN, ticket.at("userName").get<std::string>());
  EXPECT_EQ("sender-pc", ticket.at("uuid").get<std::string>());
  // No echo yet: every member still there, empty.
  EXPECT_EQ("", ticket.at("computerName").get<std::string>());
  EXPECT_EQ("", ticket.at("ip").get<std::string>());
  EXPECT_EQ("", ticket.at("internalIp").get<std::string>());
  EXPECT_EQ(0, ticket.at("port").get<int>());

  UdpPeer peer;
  p2p::ClientEcho echo;
  echo.uuid = "sender-pc";
  echo.userName = ANN;
  echo.internalIp = "192.168.1.20";
  echo.udpPort = peer.port;
  echo.computer = "Ann's laptop";
  echo.key = sha1(std::to_string(challenge) + key);
  peer.send(echo, server->udpPort);
  const auto answer = peer.receiveMessage<p2p::ServerEcho>(p2p::Message::serverEcho);
  ASSERT_TRUE(answer);
  ASSERT_EQ(1, answer->code);

  ticket = nlohmann::json::parse(get(getQuery).body);
  EXPECT_EQ("Ann's laptop", ticket.at("computerName").get<std::string>());
  EXPECT_EQ("127.0.0.1", ticket.at("ip").get<std::string>());
  EXPECT_EQ("192.168.1.20", ticket.at("internalIp").get<std::string>());
  EXPECT_EQ(peer.port, ticket.at("port").get<int>());

  EXPECT_EQ(404, get("TicketGet?uuid=receiver-pc&username=" + enc(BOB) + "&name=NOSUCH1").status);
  EXPECT_EQ(404, get("TicketGet?uuid=receiver-pc&username=" + enc(BOB) + "&name=a%20b").status);
  EXPECT_EQ(400, get("TicketCreate?uuid=sender-pc&username=" + enc(ANN)).status);
}

TEST_F(WebTest, BrowserSignInHandsTheKeyOutOnce) {
  const std::string empty = R"({"challenge":0,"key":"","name":""})";
  EXPECT_EQ(empty, get("Oauth2response?uuid=browser-pc").body);

  const HttpAnswer page = get("Oauth2?uuid=browser-pc&provider=google");
  ASSERT_EQ(200, page.status);
  EXPECT_NE(std::string::npos, page.body.find("name=\"uuid\" value=\"browser-pc\""));
  EXPECT_NE(std::string::npos, page.body.find("type=\"password\""));

  const std::string wrong = "uuid=browser-pc&email=" + enc(ANN) + "&password=nope";
  EXPECT_EQ(401, https(server->url("Oauth2"), server->caPath(), &wrong).status);
  EXPECT_EQ(empty, get("Oauth2response?uuid=browser-pc").body);

  const std::string right = "uuid=browser-pc&email=" + enc(ANN) + "&password=" + ANN_PASSWORD;
  EXPECT_EQ(200, https(server->url("Oauth2"), server->caPath(), &right).status);
  const nlohmann::json done = nlohmann::json::parse(get("Oauth2response?uuid=browser-pc").body);
  EXPECT_EQ(ANN, done.at("name").get<std::string>());
  EXPECT_EQ(userKey(ANN, ANN_PASSWORD), done.at("key").get<std::string>());
  EXPECT_GT(done.at("challenge").get<long long>(), 0);
  // Handed out once; the computer is now bound, so its login needs no key.
  EXPECT_EQ(empty, get("Oauth2response?uuid=browser-pc").body);
  EXPECT_EQ(200, get(loginQuery("browser-pc", ANN, userKey(ANN, ANN_PASSWORD), false)).status);

  // A uuid that would break out of the page's markup is refused.
  EXPECT_EQ(400, get("Oauth2?uuid=%22%3E%3Cscript%3E&provider=google").status);
}

TEST_F(WebTest, MailsWaitInTheOutbox) {
  EXPECT_EQ(200, get("ForgotPassword?name=" + enc(BOB)).status);
  EXPECT_EQ(200, get("ForgotPassword?name=" + enc("nobody@example.com")).status);
  login("sender-pc", ANN, userKey(ANN, ANN_PASSWORD));
  const HttpAnswer created =
      get("TicketCreate?uuid=sender-pc&username=" + enc(ANN) + "&toUsername=" + enc(BOB) +
          "&sendEmail=true&text=" + enc(base64_encode("see you")));
  const std::string code = nlohmann::json::parse(created.body).at("name").get<std::string>();
  ASSERT_EQ(0, server->stop());

  Store store(data + "/mirel.db");
  const std::vector<Mail> mails = store.mails();
  ASSERT_EQ(2u, mails.size());
  EXPECT_EQ(BOB, mails[0].recipient);
  EXPECT_NE(std::string::npos, mails[0].subject.find("password"));
  EXPECT_EQ(BOB, mails[1].recipient);
  EXPECT_NE(std::string::npos, mails[1].body.find(code));
  EXPECT_NE(std::string::npos, mails[1].body.find("see you"));
  // Keys and passwords never reach the database in the clear form of a password.
  EXPECT_EQ(std::string::npos, readAll(data + "/mirel.db").find(ANN_PASSWORD));
}

TEST_F(WebTest, StateSurvivesARestart) {
  const std::string key = userKey(ANN, ANN_PASSWORD);
  const std::string carol = "carol@example.com";
  const std::string carolKey = userKey(carol, "pw");
  ASSERT_EQ(200, get("Register?uuid=pc-c&name=" + enc(carol) + "&key=" + carolKey).status);
  login("sender-pc", ANN, key);
  const HttpAnswer created = get("TicketCreate?uuid=sender-pc&username=" + enc(ANN) +
                                 "&toUsername=" + enc(BOB) + "&sendEmail=true&text=");
  const std::string code = nlohmann::json::parse(created.body).at("name").get<std::string>();
  const std::string ca = readAll(server->caPath());
  ASSERT_EQ(0, server->stop());

  server = std::make_unique<ServerProcess>(data);
  EXPECT_EQ(ca, readAll(server->caPath()));
  EXPECT_EQ(200, get(loginQuery("sender-pc", ANN, key, false)).status);
  EXPECT_EQ(409, get("Register?uuid=pc-c&name=" + enc(carol) + "&key=" + carolKey).status);
  login("pc-c", carol, carolKey);
  const HttpAnswer ticket =
      get("TicketGet?uuid=receiver-pc&username=" + enc(BOB) + "&name=" + code);
  ASSERT_EQ(200, ticket.status);
  EXPECT_EQ(ANN, nlohmann::json::parse(ticket.body).at("userName").get<std::string>());
}

// Sends bytes on a fresh TCP connection, with or without TLS, and returns the head of the
// answer (up to its blank line). With `awaitReply` false it hangs up at once.
std::string rawExchange(int port, const std::string& bytes, bool tls, bool awaitReply = true) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  auto complete = [&] { return reply.find("\r\n\r\n") != std::string::npos; };
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    char buffer[4096];
    if (tls) {
      SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      if (SSL_connect(ssl) == 1) {
        SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
        int n;
        while (awaitReply && !complete() && (n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
          reply.append(buffer, n);
      }
      SSL_free(ssl);
      SSL_CTX_free(ctx);
    } else {
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      ssize_t n;
      while (awaitReply && !complete() && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, n);
    }
  }
  close(fd);
  return reply;
}

TEST_F(WebTest, MalformedRequestsLeaveItServing) {
  const int port = server->httpsPort;
  rawExchange(port, "\x16\x03\x01\xff\xff garbage that is no handshake", false);
  rawExchange(port, std::string(5000, '\0'), false, false);
  EXPECT_NE(std::string::npos, rawExchange(port, "NONSENSE\r\n\r\n", true).find(" 400 "));
  EXPECT_NE(std::string::npos,
            rawExchange(port, "GET /Login?" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", true)
                .find(" 414 "));
  rawExchange(port, "GET /Login HTTP/1.1\r\nHost: x\r\n" + std::string(20000, 'h'), true, false);
  const std::string bigPost =
      "POST /Oauth2 HTTP/1.1\r\nHost: x\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 100000\r\n\r\n" +
      std::string(100000, 'a');
  EXPECT_NE(std::string::npos, rawExchange(port, bigPost, true).find(" 413 "));
  // Half a request, then a hang-up.
  rawExchange(port, "GET /Login?uuid=", true, false);

  EXPECT_EQ(400, get("Login").status);
  EXPECT_EQ(400, get("Login?uuid=a&name=" + enc(ANN) + "&challenge=12x&chkey=" + sha1("")).status);
  EXPECT_EQ(400, get("Login?uuid=a&name=" + enc(ANN) +
                     "&challenge=99999999999999999999&chkey=" + sha1(""))
                     .status);
  EXPECT_EQ(400, get("Login?uuid=a%00b&name=x&challenge=1&chkey=" + sha1("")).status);
  EXPECT_EQ(
      400,
      get("Login?uuid=" + std::string(65, 'u') + "&name=x&challenge=1&chkey=" + sha1("")).status);
  EXPECT_EQ(400, get("Verify?myuuid=a&uuid=b&name=%0a&ip=&sig=").status);
  EXPECT_EQ(400, get("TicketCreate?uuid=a&username=x&toUsername=y&text=%25%25%25").status);
  // Decodes to more than a message may hold.
  EXPECT_EQ(
      400,
      get("TicketCreate?uuid=a&username=x&toUsername=y&text=" + std::string(5600, 'Q')).status);
  EXPECT_EQ(400, get("Oauth2response").status);
  EXPECT_EQ(404, get("NoSuchCall").status);

  EXPECT_TRUE(server->running());
  login("pc-1", ANN, userKey(ANN, ANN_PASSWORD));
}

TEST_F(WebTest, ConcurrentLoginsAllVerify) {
  const int computers = 16;
  const std::string key = userKey(ANN, ANN_PASSWORD);
  std::atomic<int> verified{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < computers; ++i) {
    threads.emplace_back([&, i] {
      const std::string uuid = "pc-" + std::to_string(i);
      if (get(loginQuery(uuid, ANN, key, false, 1000 + i)).status != 423) return;
      const HttpAnswer answer = get(loginQuery(uuid, ANN, key, true, 2000 + i));
      if (answer.status != 200 || !isPositiveDecimal(answer.body)) return;
      const std::string sig = sha1(uuid + "sender" + ANN + key);
      if (get("Verify?myuuid=sender&uuid=" + uuid + "&name=" + enc(ANN) + "&ip=&sig=" + sig)
              .status == 200)
        ++verified;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(computers, verified.load());
}

}  // namespace
