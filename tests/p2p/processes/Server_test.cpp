// The web-server client: how answers become typed responses, bounds and time-outs, what it
// learns from the connection, and that a call in flight never outlives what it points to.
// Canned answers come from a plain-HTTP responder on 127.0.0.1; the real stand-in server
// (HTTPS) is exercised by the RealServer tests below.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "p2p/processes/Server.h"
#include "p2p/requests/ForgotPassword.h"
#include "p2p/requests/Login.h"
#include "p2p/requests/Oauth2.h"
#include "p2p/requests/Register.h"
#include "p2p/requests/TicketCreate.h"
#include "p2p/requests/TicketGet.h"
#include "p2p/requests/Verify.h"
#include "support/TestSupport.h"
#include "utils/Sha1.h"
#include "utils/Utils.h"

extern char** environ;

using namespace p2p;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Waits for a condition that another thread makes true; false when it never came.
bool waitFor(const std::function<bool()>& condition, int limitMs = 5000) {
  auto start = Clock::now();
  while (!condition()) {
    if (msSince(start) > limitMs) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Runs the loop until nothing is left to do, but never longer than `limitMs`; returns the
// milliseconds it took.
long runBounded(UvLoop& loop, int limitMs = 10000) {
  uv_timer_t* limit = allocUv<uv_timer_t>();
  uv_timer_init(loop.uvLoop(), limit);
  uv_timer_start(limit, [](uv_timer_t* timer) { uv_stop(timer->loop); }, limitMs, 0);
  uv_unref(reinterpret_cast<uv_handle_t*>(limit));
  auto start = Clock::now();
  loop.run();
  closeAndFree(reinterpret_cast<uv_handle_t*>(limit));
  return msSince(start);
}

std::string httpAnswer(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A plain-HTTP responder on 127.0.0.1, one connection at a time: each request gets the reply
// that `make` builds from its target. A silent reply holds the connection open without a word
// until the client hangs up or the responder stops.
class CannedHttp {
 public:
  struct Reply {
    std::vector<std::string> pieces;  // written apart, with a pause between them
    bool silent = false;
  };
  using Maker = std::function<Reply(const std::string& target)>;

  explicit CannedHttp(Maker make) : _make(std::move(make)) {
    _listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(_listener, 16) != 0 ||
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("CannedHttp: no listener");
    }
    _port = ntohs(address.sin_port);
    _thread = std::thread([this] { serve(); });
  }

  ~CannedHttp() {
    _stop = true;
    _thread.join();
    close(_listener);
  }

  std::string base() const { return "http://127.0.0.1:" + std::to_string(_port) + "/"; }

  std::vector<std::string> heads() {
    std::lock_guard<std::mutex> lock(_lock);
    return _heads;
  }

 private:
  // Waits for `events` on fd in short steps so that a stop is noticed; false on stop.
  bool await(int fd, short events) {
    pollfd entry{fd, events, 0};
    while (!_stop) {
      if (poll(&entry, 1, 20) > 0) return true;
    }
    return false;
  }

  void serve() {
    while (await(_listener, POLLIN)) {
      int connection = accept(_listener, nullptr, nullptr);
      if (connection < 0) continue;
      answer(connection);
      close(connection);
    }
  }

  void answer(int connection) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      if (!await(connection, POLLIN)) return;
      ssize_t n = recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      head.append(buffer, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> lock(_lock);
      _heads.push_back(head);
    }
    size_t from = head.find(' ') + 1;
    Reply reply = _make(head.substr(from, head.find(' ', from) - from));
    if (reply.silent) {
      await(connection, POLLIN);  // returns when the client hangs up (or at stop)
      return;
    }
    for (size_t i = 0; i < reply.pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(50ms);
      send(connection, reply.pieces[i].data(), reply.pieces[i].size(), MSG_NOSIGNAL);
    }
    shutdown(connection, SHUT_WR);
  }

  Maker _make;
  int _listener = -1;
  int _port = 0;
  std::atomic<bool> _stop{false};
  std::thread _thread;
  std::mutex _lock;
  std::vector<std::string> _heads;
};

CannedHttp::Reply answerWith(int status, const std::string& body) { return {{httpAnswer(status, body)}, false}; }

// Records the answers of one kind of call, checking that each arrives on the loop thread.
template <class T>
struct Recorder : Server::ServerCb<T> {
  explicit Recorder(UvLoop& loop) : loop(loop) {}
  void handleServerResponse(const Server::ServerResponse<T>& response) override {
    answers.push_back(response);
    if (!loop.executingOnLoop()) offLoop = true;
    if (then) then(response);
  }
  UvLoop& loop;
  std::vector<Server::ServerResponse<T>> answers;
  bool offLoop = false;
  std::function<void(const Server::ServerResponse<T>&)> then;
};

LoginRequest* login() { return new LoginRequest("uuid-1", "ann@example.com", "KEY", "", false); }

class ServerCalls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { HttpRequest::globalInit(); }

  // One call of `request` against `http`, answered within the loop's bound.
  template <class T>
  Server::ServerResponse<T> call(CannedHttp& http, Server::ServerRequest<T>* request, const std::string& prefix = "") {
    Server server(http.base() + prefix, 4183, &loop);
    Recorder<T> recorder(loop);
    server.exec(request, &recorder);
    runBounded(loop);
    EXPECT_EQ(1u, recorder.answers.size());
    EXPECT_FALSE(recorder.offLoop);
    return recorder.answers.empty() ? Server::ServerResponse<T>() : recorder.answers[0];
  }

  UvLoop loop;
};

}  // namespace

TEST_F(ServerCalls, AnswersBecomeTypedResponses) {
  struct Case {
    int status;
    std::string body;
    bool answerUsed;  // Login's answer is read; ForgotPassword's is not
    bool ok;
    std::string error;  // "bad response: " means: starts with it
    long long value;
  };
  const std::vector<Case> cases = {
      {200, "12345", true, true, "", 12345},
      {401, "no", true, false, "Authentication error", 0},
      {403, "no", true, false, "Authentication error", 0},
      {404, "", true, false, "Not Found", 0},
      {409, "", true, false, "Conflict", 0},
      {423, "", true, false, "Locked", 0},
      {500, "database down", true, false, "database down", 0},
      {500, "", true, false, "HTTP 500", 0},
      {204, "", true, false, "HTTP 204", 0},   // a used answer needs a 200
      {302, "moved", true, false, "moved", 0},
      {200, "abc", true, false, "bad response: ", 0},
      {200, "", true, false, "bad response: ", 0},
      {200, "", false, true, "", 1},
      {204, "", false, true, "", 0},
      {302, "moved", false, true, "", 0},
      {404, "", false, false, "Not Found", 0},
      {503, "", false, false, "HTTP 503", 0},
  };
  // The case number travels in the base URL's path.
  CannedHttp http([&](const std::string& target) {
    const Case& c = cases.at(std::stoul(target.substr(1)));
    return answerWith(c.status, c.body);
  });
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string prefix = std::to_string(i) + "/";
    int status;
    bool ok;
    std::string error;
    long long value;
    if (c.answerUsed) {
      auto answer = call(http, login(), prefix);
      status = answer.status, ok = answer.isOk(), error = answer.error, value = answer.response;
    } else {
      auto answer = call(http, new ForgotPassword("ann@example.com"), prefix);
      status = answer.status, ok = answer.isOk(), error = answer.error, value = answer.response;
    }
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(c.ok, ok);
    EXPECT_EQ(c.value, value);
    if (c.error == "bad response: ") {
      EXPECT_EQ(0u, error.rfind(c.error, 0)) << error;
      EXPECT_GT(error.size(), c.error.size());
    } else {
      EXPECT_EQ(c.error, error);
    }
  }
}

TEST_F(ServerCalls, GoesOutAsOneGetOfBaseAndPathPastAnyProxySetting) {
  testsupport::ScopedEnv proxy("http_proxy", "http://127.0.0.1:1");
  testsupport::ScopedEnv allProxy("ALL_PROXY", "http://127.0.0.1:1");
  CannedHttp http([](const std::string&) { return answerWith(200, "7"); });
  EXPECT_TRUE(call(http, new TicketGetRequest("u", "a@b.c", "AB 1"), "api/").isOk() == false);  // "7" is no JSON
  ASSERT_EQ(1u, http.heads().size());
  std::string head = http.heads()[0];
  EXPECT_EQ(0u, head.rfind("GET /api/TicketGet?uuid=u&username=a%40b.c&name=AB%201 HTTP/1.1\r\n", 0)) << head;
  EXPECT_NE(std::string::npos, head.find("\r\nUser-Agent: libcurl-agent/1.0\r\n")) << head;
}

TEST_F(ServerCalls, BodyLimitCountsTheWholeBody) {
  const std::string limit = "7" + std::string(HttpRequest::MAX_RESPONSE_SIZE - 1, ' ');
  CannedHttp http([&](const std::string& target) -> CannedHttp::Reply {
    if (target == "/whole/Login") return answerWith(200, limit);
    if (target == "/over/Login") return answerWith(200, limit + " ");
    // Two pieces of about 6000 bytes: each under the limit, together over it.
    std::string answer = httpAnswer(200, limit + std::string(2000, ' '));
    return {{answer.substr(0, 6000), answer.substr(6000)}, false};
  });
  auto at = [&](const std::string& prefix) {
    auto request = login();
    request->path.str("Login");
    return call(http, request, prefix);
  };
  auto whole = at("whole/");
  EXPECT_TRUE(whole.isOk()) << whole.error;
  EXPECT_EQ(7, whole.response);
  for (const char* prefix : {"over/", "pieces/"}) {
    auto over = at(prefix);
    EXPECT_EQ(23, over.status) << prefix;  // CURLE_WRITE_ERROR
    EXPECT_FALSE(over.isOk());
    EXPECT_NE(std::string::npos, over.error.find("10000")) << over.error;
  }
}

TEST_F(ServerCalls, RefusedConnectionFailsWithLibcurlsMessage) {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), length));
  ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length));
  close(probe);  // nothing listens there now

  Server server("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", 4183, &loop);
  Recorder<long long> recorder(loop);
  server.exec(login(), &recorder);
  runBounded(loop);
  ASSERT_EQ(1u, recorder.answers.size());
  EXPECT_EQ(7, recorder.answers[0].status);  // CURLE_COULDNT_CONNECT
  EXPECT_FALSE(recorder.answers[0].isOk());
  EXPECT_NE(std::string::npos, recorder.answers[0].error.find("onnect")) << recorder.answers[0].error;
  EXPECT_FALSE(server.getUdpAddr().isValid());
  EXPECT_EQ("", server.getLocalIp());
}

namespace {

// Returns how long the call took; its answer must be the time-out.
long timeOutOf(UvLoop& loop, const std::string& base, const std::string& caFile = Server::DEFAULT_CA_FILE) {
  Server server(base, 4183, &loop, caFile);
  server.setTimeouts(2000, 400);
  Recorder<long long> recorder(loop);
  server.exec(login(), &recorder);
  long took = runBounded(loop);
  EXPECT_EQ(1u, recorder.answers.size());
  if (recorder.answers.empty()) return took;
  EXPECT_EQ(28, recorder.answers[0].status) << recorder.answers[0].error;  // CURLE_OPERATION_TIMEDOUT
  EXPECT_FALSE(recorder.answers[0].error.empty());
  return took;
}

}  // namespace

TEST_F(ServerCalls, SilentServerEndsInTheTimeOut) {
  CannedHttp http([](const std::string&) { return CannedHttp::Reply{{}, true}; });
  long took = timeOutOf(loop, http.base());
  EXPECT_GE(took, 350);
  EXPECT_LT(took, 3000);
}

TEST_F(ServerCalls, AddressesAreLearntFromAnyAnswerAfterItsCallback) {
  CannedHttp http([](const std::string&) { return answerWith(404, ""); });
  Server server(http.base(), 4999, &loop);
  Recorder<long long> recorder(loop);
  bool validDuringFirst = true;
  recorder.then = [&](const Server::ServerResponse<long long>&) {
    if (recorder.answers.size() == 1) validDuringFirst = server.getUdpAddr().isValid();
  };
  server.exec(login(), &recorder);
  runBounded(loop);
  ASSERT_EQ(1u, recorder.answers.size());
  EXPECT_FALSE(validDuringFirst);
  ASSERT_TRUE(server.getUdpAddr().isValid());
  EXPECT_STREQ("127.0.0.1", server.getUdpAddr().getIp());
  EXPECT_EQ(4999, server.getUdpAddr().getPort());
  EXPECT_EQ("127.0.0.1", server.getLocalIp());
}

TEST_F(ServerCalls, CallbackMayStartAnotherCallOrDeleteTheServer) {
  CannedHttp http([](const std::string&) { return answerWith(200, "5"); });
  auto* server = new Server(http.base(), 4183, &loop);
  Recorder<long long> recorder(loop);
  recorder.then = [&](const Server::ServerResponse<long long>&) {
    if (recorder.answers.size() == 1)
      server->exec(login(), &recorder);  // as the login does after "Locked"
    else
      delete server;
  };
  server->exec(login(), &recorder);
  runBounded(loop);
  ASSERT_EQ(2u, recorder.answers.size());
  EXPECT_EQ(5, recorder.answers[1].response);
}

TEST_F(ServerCalls, ExceptionFromCallbackReachesTheLoopRunner) {
  CannedHttp http([](const std::string&) { return answerWith(200, "5"); });
  Server server(http.base(), 4183, &loop);
  Recorder<long long> recorder(loop);
  recorder.then = [](const Server::ServerResponse<long long>&) { throw std::runtime_error("handler broke"); };
  server.exec(login(), &recorder);
  EXPECT_THROW(runBounded(loop), std::runtime_error);
  EXPECT_EQ(1u, recorder.answers.size());
}

TEST_F(ServerCalls, DeletingTheServerCancelsCallsInFlight) {
  CannedHttp http([](const std::string&) { return CannedHttp::Reply{{}, true}; });
  Recorder<long long> recorder(loop);
  auto server = std::make_unique<Server>(http.base(), 4183, &loop);
  server->exec(login(), &recorder);
  server->exec(login(), &recorder);  // the second waits behind the first in the responder
  ASSERT_TRUE(waitFor([&] { return !http.heads().empty(); }));
  server.reset();
  // With the default 60 s time-out, only the abort ends the transfers this soon.
  EXPECT_LT(runBounded(loop), 3000);
  EXPECT_TRUE(recorder.answers.empty());
}

TEST(ServerLifetime, LoopEndingFirstCancelsCallsInFlight) {
  CannedHttp http([](const std::string&) { return CannedHttp::Reply{{}, true}; });
  auto loop = std::make_unique<UvLoop>();
  Server server(http.base(), 4183, loop.get());
  Recorder<long long> recorder(*loop);
  server.exec(login(), &recorder);
  ASSERT_TRUE(waitFor([&] { return !http.heads().empty(); }));
  auto start = Clock::now();
  loop.reset();
  EXPECT_LT(msSince(start), 3000);
  EXPECT_TRUE(recorder.answers.empty());
  auto* late = login();
  EXPECT_THROW(server.exec(late, &recorder), std::runtime_error);  // and `late` is not leaked
}

// ---- Against the real stand-in server ----

namespace {

// The stand-in web server on free ports in a fresh data folder; killed at the end.
class StandIn {
 public:
  using Users = std::vector<std::pair<std::string, std::string>>;  // e-mail and password

  explicit StandIn(const Users& users = Users()) {
    for (const auto& [email, password] : users) {
      pid_t pid = spawn({"--data", _data.path(), "--add-user", email, password});
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("cannot add " + email);
    }
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 8 && _pid < 0; ++attempt) {
      _httpsPort = 20000 + static_cast<int>(random() % 10000);
      _udpPort = _httpsPort == 30000 ? 20000 : _httpsPort + 1;
      pid_t pid = spawn({"--data", _data.path(), "--host", "127.0.0.1", "--https-port", std::to_string(_httpsPort),
                         "--udp-port", std::to_string(_udpPort)});
      if (waitUntilListening(pid)) _pid = pid;
    }
    if (_pid < 0) throw std::runtime_error("the stand-in server did not start:\n" + testsupport::readFile(log()));
  }

  ~StandIn() {
    kill(_pid, SIGTERM);
    if (!waitFor([&] { return waitpid(_pid, nullptr, WNOHANG) == _pid; }, 3000)) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
  }

  std::string base() const { return "https://127.0.0.1:" + std::to_string(_httpsPort) + "/"; }
  std::string caFile() const { return _data.file("cacert.pem"); }
  int udpPort() const { return _udpPort; }

 private:
  std::string log() const { return _data.file("server.log"); }

  pid_t spawn(std::vector<std::string> args) {
    args.insert(args.begin(), MIREL_SERVER_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (failed) throw std::runtime_error("cannot start " MIREL_SERVER_PATH);
    return pid;
  }

  // True once the HTTPS port takes connections; false when the server exited instead.
  bool waitUntilListening(pid_t pid) {
    bool listening = waitFor(
        [&] {
          if (waitpid(pid, nullptr, WNOHANG) == pid) return true;  // ended: a port was taken
          int probe = socket(AF_INET, SOCK_STREAM, 0);
          sockaddr_in address{};
          address.sin_family = AF_INET;
          address.sin_port = htons(static_cast<uint16_t>(_httpsPort));
          address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          bool connected = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
          close(probe);
          return connected;
        },
        5000);
    if (listening && kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0) return true;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }

  testsupport::TempDir _data;
  pid_t _pid = -1;
  int _httpsPort = 0;
  int _udpPort = 0;
};

const char* const kAnn = "ann@example.com";
const char* const kAnnPassword = "ann's password";

std::string userKey(const std::string& email, const std::string& password) {
  std::string key;
  Sha1::getInstance().encodePassword(email, password, key);
  return key;
}

std::string sha1(const std::string& text) {
  std::string digest;
  Sha1::getInstance().makeEncodedDigest(text, digest);
  return digest;
}

class RealServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    HttpRequest::globalInit();
    standIn = new StandIn(StandIn::Users{{kAnn, kAnnPassword}});
  }
  static void TearDownTestSuite() { delete standIn; }

  template <class T>
  Server::ServerResponse<T> ask(Server::ServerRequest<T>* request) {
    Recorder<T> recorder(loop);
    server.exec(request, &recorder);
    runBounded(loop);
    EXPECT_EQ(1u, recorder.answers.size());
    return recorder.answers.empty() ? Server::ServerResponse<T>() : recorder.answers[0];
  }

  // Binds `uuid` to ann's account, as a login with the key does.
  void logIn(const std::string& uuid) {
    auto answer = ask(new LoginRequest(uuid, kAnn, userKey(kAnn, kAnnPassword), "", true));
    ASSERT_TRUE(answer.isOk()) << answer.error;
  }

  static StandIn* standIn;
  UvLoop loop;
  Server server{standIn->base(), standIn->udpPort(), &loop, standIn->caFile()};
};

StandIn* RealServer::standIn = nullptr;

}  // namespace

TEST_F(RealServer, LoginSendsTheKeyOnlyWhenAskedAndLearnsTheRendezvousAddress) {
  const std::string key = userKey(kAnn, kAnnPassword);
  EXPECT_EQ("Not Found", ask(new LoginRequest("pc-login", "nobody@example.com", key, "", false)).error);
  EXPECT_TRUE(server.getUdpAddr().isValid());  // an error answer teaches the address too

  auto locked = ask(new LoginRequest("pc-login", kAnn, key, "", false));
  EXPECT_EQ(423, locked.status);
  EXPECT_EQ("Locked", locked.error);
  for (bool keyRequired : {true, false}) {
    auto answer = ask(new LoginRequest("pc-login", kAnn, key, "", keyRequired));
    EXPECT_TRUE(answer.isOk()) << answer.error;
    EXPECT_NE(0, answer.response);
  }
  auto wrongKey = ask(new LoginRequest("pc-login", kAnn, sha1("not the key"), "", true));
  EXPECT_EQ(401, wrongKey.status);
  EXPECT_EQ("Authentication error", wrongKey.error);

  ASSERT_TRUE(server.getUdpAddr().isValid());
  EXPECT_STREQ("127.0.0.1", server.getUdpAddr().getIp());
  EXPECT_EQ(standIn->udpPort(), server.getUdpAddr().getPort());
  EXPECT_EQ("127.0.0.1", server.getLocalIp());
}

TEST_F(RealServer, RegisterCreatesAnAccountOnce) {
  const std::string key = userKey("bob@example.com", "bob's password");
  auto created = ask(new Register("pc-bob", "bob@example.com", key));
  EXPECT_TRUE(created.isOk()) << created.error;
  EXPECT_GT(created.response, 0);
  auto again = ask(new Register("pc-bob", "bob@example.com", key));
  EXPECT_EQ(409, again.status);
  EXPECT_EQ("Conflict", again.error);
  EXPECT_EQ(0, again.response);
}

TEST_F(RealServer, VerifyAcceptsOnlyThePeersOwnSignature) {
  logIn("pc-peer");
  const std::string key = userKey(kAnn, kAnnPassword);
  auto good = ask(new VerifyRequest("pc-me", "pc-peer", kAnn, "10.1.2.3", sha1("pc-peer" "pc-me" + std::string(kAnn) + key)));
  EXPECT_TRUE(good.isOk()) << good.error;
  EXPECT_TRUE(good.response);
  auto forged = ask(new VerifyRequest("pc-me", "pc-peer", kAnn, "10.1.2.3", sha1("forged")));
  EXPECT_EQ(403, forged.status);
  EXPECT_EQ("Authentication error", forged.error);
  EXPECT_FALSE(forged.response);
}

TEST_F(RealServer, ForgotPasswordIsTaken) {
  auto answer = ask(new ForgotPassword(kAnn));
  EXPECT_TRUE(answer.isOk()) << answer.error;
}

TEST_F(RealServer, Oauth2HandsOutABrowserSignInOnce) {
  EXPECT_EQ("", ask(new Oauth2("pc-browser")).response.name);

  // The browser's part: the sign-in form, posted.
  CURL* curl = curl_easy_init();
  std::string form = "uuid=pc-browser&email=" + Utils::urlEncode(kAnn) + "&password=" + Utils::urlEncode(kAnnPassword);
  curl_easy_setopt(curl, CURLOPT_URL, (standIn->base() + "Oauth2").c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, standIn->caFile().c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
  ASSERT_EQ(CURLE_OK, curl_easy_perform(curl));
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  ASSERT_EQ(200, status);

  auto answer = ask(new Oauth2("pc-browser"));
  ASSERT_TRUE(answer.isOk()) << answer.error;
  EXPECT_EQ(kAnn, answer.response.name);
  EXPECT_EQ(userKey(kAnn, kAnnPassword), answer.response.key);
  EXPECT_NE(0, answer.response.challenge);
  EXPECT_EQ("", ask(new Oauth2("pc-browser")).response.name);
}

TEST_F(RealServer, TicketIsFoundByItsCode) {
  logIn("pc-sender");
  auto created = ask(new TicketCreateRequest("pc-sender", kAnn, "dan@example.com", " photos + notes ", true));
  ASSERT_TRUE(created.isOk()) << created.error;
  ASSERT_FALSE(created.response.empty());

  auto found = ask(new TicketGetRequest("pc-receiver", "dan@example.com", created.response));
  ASSERT_TRUE(found.isOk()) << found.error;
  EXPECT_EQ(kAnn, found.response.userName);
  EXPECT_EQ("pc-sender", found.response.uuid);

  auto unknown = ask(new TicketGetRequest("pc-receiver", "dan@example.com", "NOSUCH99"));
  EXPECT_EQ(404, unknown.status);
  EXPECT_EQ("Not Found", unknown.error);
  EXPECT_EQ("", unknown.response.userName);
}

TEST_F(RealServer, SilenceDuringTheHandshakeEndsInTheTimeOut) {
  CannedHttp http([](const std::string&) { return CannedHttp::Reply{{}, true}; });
  long took = timeOutOf(loop, "https" + http.base().substr(4), standIn->caFile());
  EXPECT_GE(took, 350);
  EXPECT_LT(took, 3000);
}

TEST_F(RealServer, TrustsOnlyTheGivenCaFile) {
  StandIn other;  // its own certificate authority, unrelated to the first one's
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("garbage.pem"), "not a certificate\n");
  const std::vector<std::pair<std::string, int>> cases = {
      {dir.file("missing.pem"), 77},  // CURLE_SSL_CACERT_BADFILE
      {dir.file("garbage.pem"), 77},
      {other.caFile(), 60},  // CURLE_PEER_FAILED_VERIFICATION
  };
  for (const auto& [caFile, status] : cases) {
    Server wrong(standIn->base(), standIn->udpPort(), &loop, caFile);
    Recorder<bool> recorder(loop);
    wrong.exec(new ForgotPassword(kAnn), &recorder);
    runBounded(loop);
    ASSERT_EQ(1u, recorder.answers.size());
    const auto& answer = recorder.answers[0];
    EXPECT_FALSE(answer.isOk()) << caFile;
    EXPECT_EQ(status, answer.status) << caFile;
    EXPECT_NE(std::string::npos, answer.error.find("certificate")) << answer.error;
    EXPECT_FALSE(wrong.getUdpAddr().isValid());
  }
}
