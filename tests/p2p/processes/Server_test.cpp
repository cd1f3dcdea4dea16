// The web-server client against the real mirelServer over HTTPS, trusting only its CA file.
// A plain-HTTP responder supplies what a sound server never sends: silence, an oversize or
// garbled body, bare statuses.
#include "p2p/processes/Server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "p2p/requests/ForgotPassword.h"
#include "p2p/requests/Login.h"
#include "p2p/requests/Oauth2.h"
#include "p2p/requests/TicketGet.h"
#include "p2p/requests/Verify.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"
#include "utils/Utils.h"

using namespace p2p;
using namespace std::chrono_literals;
using servertest::ServerProcess;
using servertest::userKey;
using testsupport::runUntil;

namespace {

const char* const kAnn = "ann@example.com";
const char* const kAnnPassword = "ann's password";

long msSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// Runs the loop until it has nothing left to do, `limitMs` at most; the milliseconds it took.
long runBounded(UvLoop& loop, int limitMs = 10000) {
  uv_timer_t* limit = allocUv<uv_timer_t>();
  uv_timer_init(loop.uvLoop(), limit);
  uv_timer_start(limit, [](uv_timer_t* timer) { uv_stop(timer->loop); }, limitMs, 0);
  uv_unref(reinterpret_cast<uv_handle_t*>(limit));
  struct Closer {  // also when the run rethrows a callback's exception
    uv_timer_t* timer;
    ~Closer() { closeAndFree(reinterpret_cast<uv_handle_t*>(timer)); }
  } closer{limit};
  auto start = std::chrono::steady_clock::now();
  loop.run();
  return msSince(start);
}

std::string httpAnswer(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A plain-HTTP responder on 127.0.0.1. Each request gets the pieces that `reply` makes from its
// head, written apart; a request given no pieces is held until release() (then answered 200 "1")
// or until the client hangs up. Counts the requests and the clients that hung up.
class FakeHttp {
 public:
  using Reply = std::function<std::vector<std::string>(const std::string& head)>;

  explicit FakeHttp(Reply reply = [](const std::string&) { return std::vector<std::string>(); })
      : _reply(std::move(reply)) {
    sockaddr_in address = servertest::loopback(0);
    socklen_t length = sizeof address;
    _listener = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(_listener, 64) != 0 ||
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no listener on 127.0.0.1");
    _port = ntohs(address.sin_port);
    _thread = std::thread([this] { serve(); });
  }
  ~FakeHttp() {
    _stop = true;
    _thread.join();
    close(_listener);
  }

  std::string base(const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(_port) + "/";
  }
  void release() { _releasing = true; }
  int requests() const { return _requests; }
  int hangups() const { return _hangups; }
  std::vector<std::string> heads() {
    std::lock_guard<std::mutex> lock(_lock);
    return _heads;
  }

 private:
  struct Connection {
    int fd;
    std::string head;
    bool complete() const { return head.find("\r\n\r\n") != std::string::npos; }
  };

  void serve() {
    std::vector<Connection> open;
    while (!_stop) {
      std::vector<pollfd> waiting{{_listener, POLLIN, 0}};
      for (const Connection& c : open) waiting.push_back({c.fd, POLLIN, 0});
      poll(waiting.data(), waiting.size(), 20);
      if (waiting[0].revents & POLLIN) open.push_back({accept(_listener, nullptr, nullptr), ""});
      for (size_t i = 1; i < waiting.size(); ++i) {
        Connection& c = open[i - 1];
        if (!(waiting[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          ++_hangups;
          close(std::exchange(c.fd, -1));
          continue;
        }
        const bool wasComplete = c.complete();
        c.head.append(buffer, static_cast<size_t>(n));
        if (wasComplete || !c.complete()) continue;
        ++_requests;
        {
          std::lock_guard<std::mutex> lock(_lock);
          _heads.push_back(c.head);
        }
        const std::vector<std::string> pieces = _reply(c.head);
        for (size_t p = 0; p < pieces.size(); ++p) {
          if (p > 0) std::this_thread::sleep_for(50ms);
          send(c.fd, pieces[p].data(), pieces[p].size(), MSG_NOSIGNAL);
        }
        if (!pieces.empty()) close(std::exchange(c.fd, -1));
      }
      for (Connection& c : open) {
        if (c.fd < 0 || !_releasing || !c.complete()) continue;
        const std::string answer = httpAnswer(200, "1");
        send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(std::exchange(c.fd, -1));
      }
      open.erase(std::remove_if(open.begin(), open.end(), [](const Connection& c) { return c.fd < 0; }), open.end());
    }
    for (const Connection& c : open) close(c.fd);
  }

  Reply _reply;
  int _port = 0;
  int _listener = -1;
  std::atomic<bool> _stop{false}, _releasing{false};
  std::atomic<int> _requests{0}, _hangups{0};
  std::thread _thread;
  std::mutex _lock;
  std::vector<std::string> _heads;
};

// Records the answers of one kind of call, checking that each arrives on the loop thread.
template <class T>
struct Recorder : Server::ServerCb<T> {
  explicit Recorder(UvLoop& loop) : loop(loop) {}
  void handleServerResponse(const Server::ServerResponse<T>& response) override {
    answers.push_back(response);
    offLoop = offLoop || !loop.executingOnLoop();
    if (then) then(response);
  }
  UvLoop& loop;
  std::vector<Server::ServerResponse<T>> answers;
  bool offLoop = false;
  std::function<void(const Server::ServerResponse<T>&)> then;
};

// "status error": what the callers tell answers apart by.
template <class T>
std::string outcome(const Server::ServerResponse<T>& answer) {
  return std::to_string(answer.status) + " " + answer.error;
}

LoginRequest* login() { return new LoginRequest("uuid-1", kAnn, "KEY", "", false); }

class Calls : public ::testing::Test {
 protected:
  template <class T>
  Server::ServerResponse<T> answerOf(Server& server, Server::ServerRequest<T>* request) {
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

TEST_F(Calls, CannedAnswersBecomeTypedFailuresOrSuccesses) {
  const std::string limit = "7" + std::string(HttpRequest::MAX_RESPONSE_SIZE - 1, ' ');
  const std::string over = httpAnswer(200, limit + " ");
  // TicketGet, Login and Verify read their answer and need a 200; ForgotPassword does not.
  const auto ticketGet = [this](Server& s) { return outcome(answerOf(s, new TicketGetRequest("u", "a@b.c", "AB 1"))); };
  const auto logIn = [this](Server& s) { return outcome(answerOf(s, login())); };
  const auto verify = [this](Server& s) { return outcome(answerOf(s, new VerifyRequest("m", "p", "n", "", ""))); };
  const auto forgot = [this](Server& s) { return outcome(answerOf(s, new ForgotPassword(kAnn))); };
  const struct {
    std::vector<std::string> pieces;
    std::function<std::string(Server&)> call;
    std::string outcome;  // a regular expression
  } cases[] = {
      {{httpAnswer(200, R"({"userName":)")}, ticketGet, "200 bad response: .+"},
      {{httpAnswer(204, "")}, logIn, "204 HTTP 204"},
      {{httpAnswer(204, "")}, verify, "204 HTTP 204"},
      {{httpAnswer(500, "database down")}, logIn, "500 database down"},
      {{httpAnswer(204, "")}, forgot, "204 "},
      {{httpAnswer(503, "")}, forgot, "503 HTTP 503"},
      {{httpAnswer(200, limit)}, logIn, "200 "},
      // Each piece under the limit, together one byte over it.
      {{over.substr(0, 6000), over.substr(6000)}, logIn, "23 response body over 10000 bytes"},
  };
  // The case number travels in the base URL's path.
  FakeHttp http([&](const std::string& head) { return cases[std::stoul(head.substr(5))].pieces; });
  for (size_t i = 0; i < std::size(cases); ++i) {
    Server server(http.base() + std::to_string(i) + "/", 4183, &loop);
    const std::string got = cases[i].call(server);
    EXPECT_TRUE(std::regex_match(got, std::regex(cases[i].outcome))) << i << ": " << got;
  }
  std::string head = http.heads().at(0);
  EXPECT_EQ(0u, head.rfind("GET /0/TicketGet?uuid=u&username=a%40b.c&name=AB%201 HTTP/1.1\r\n", 0)) << head;
  EXPECT_NE(std::string::npos, head.find("\r\nUser-Agent: libcurl-agent/1.0\r\n")) << head;
}

// The default time-out is 60 s: only an abort ends the held calls this quickly.
TEST_F(Calls, TheServerTheLoopOrACallbackGoingFirstCancelsItsCallsAtOnce) {
  for (const std::string gone : {"server", "loop", "callback"}) {
    SCOPED_TRACE(gone);
    FakeHttp http;
    auto ownLoop = std::make_unique<UvLoop>();
    auto server = std::make_unique<Server>(http.base(), 4183, ownLoop.get());
    auto cancelled = std::make_unique<Recorder<long long>>(*ownLoop);
    Recorder<long long> stays(*ownLoop);
    server->exec(login(), cancelled.get());
    server->exec(login(), cancelled.get());
    server->exec(login(), &stays);
    ASSERT_TRUE(runUntil(*ownLoop, [&] { return http.requests() == 3; }));
    const auto start = std::chrono::steady_clock::now();
    if (gone == "server") server.reset(), runBounded(*ownLoop);
    if (gone == "loop") ownLoop.reset();
    if (gone == "callback") cancelled.reset(), runUntil(*ownLoop, [&] { return http.hangups() == 2; });
    while (http.hangups() < (gone == "callback" ? 2 : 3) && msSince(start) < 3000) std::this_thread::sleep_for(5ms);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_TRUE(!cancelled || cancelled->answers.empty());
    if (gone == "loop") {
      EXPECT_THROW(server->exec(login(), &stays), std::runtime_error);  // and the request is not leaked
    }
    if (gone != "callback") continue;

    http.release();
    ASSERT_TRUE(runUntil(*ownLoop, [&] { return !stays.answers.empty(); }));
    EXPECT_EQ("200 ", outcome(stays.answers[0]));
    // A callback that ends itself in one answer hears no other.
    auto selfEnding = std::make_unique<Recorder<long long>>(*ownLoop);
    selfEnding->then = [&](const Server::ServerResponse<long long>&) { selfEnding.reset(); };
    server->exec(login(), selfEnding.get());
    server->exec(login(), selfEnding.get());
    EXPECT_TRUE(runUntil(*ownLoop, [&] { return !selfEnding; }));
    runBounded(*ownLoop, 1000);  // an answer to the second call would land on freed memory
  }
}

TEST_F(Calls, TheLimitedLaneHoldsHalfThePoolAndQueuesTheRestInOrder) {
  FakeHttp http;
  Server server(http.base(), 4183, &loop);
  const size_t width = server.limitedLaneWidth();
  EXPECT_EQ(std::max(1u, UvLoop::threadPoolSize() / 2), width);
  std::vector<std::unique_ptr<Recorder<long long>>> verifies;
  for (size_t i = 0; i < width + 2; ++i) {
    verifies.push_back(std::make_unique<Recorder<long long>>(loop));
    server.execLimited(login(), verifies.back().get());
  }
  ASSERT_TRUE(runUntil(loop, [&] { return http.requests() == static_cast<int>(width); }));
  runUntil(loop, [] { return false; }, 200);
  EXPECT_EQ(static_cast<int>(width), http.requests());
  EXPECT_EQ(2u, server.limitedWaiting());

  verifies.back().reset();  // a waiting call whose connection went: dropped from the queue
  EXPECT_EQ(1u, server.limitedWaiting());
  Recorder<long long> other(loop);  // the other lane is not held up
  server.exec(login(), &other);
  ASSERT_TRUE(runUntil(loop, [&] { return http.requests() == static_cast<int>(width) + 1; }));

  verifies.front().reset();  // a running one: aborted, and its pool thread goes to the next in line
  ASSERT_TRUE(runUntil(loop, [&] { return http.requests() == static_cast<int>(width) + 2; }, 3000));
  EXPECT_EQ(1, http.hangups());
  EXPECT_EQ(0u, server.limitedWaiting());
  EXPECT_EQ(width, server.limitedRunning());

  http.release();
  ASSERT_TRUE(runUntil(loop, [&] {
    return !other.answers.empty() &&
           std::all_of(verifies.begin() + 1, verifies.end() - 1, [](auto& v) { return !v->answers.empty(); });
  }));
  EXPECT_EQ("200 ", outcome(verifies[width]->answers.at(0)));
  EXPECT_EQ(0u, server.limitedRunning());
}

namespace {

class RealServer : public Calls {
 protected:
  static void SetUpTestSuite() {
    data = new testsupport::TempDir;
    if (ServerProcess::runToEnd({"--data", data->file("data"), "--add-user", kAnn, kAnnPassword},
                                data->file("add-user.log")) != 0)
      throw std::runtime_error("cannot add " + std::string(kAnn));
    process = new ServerProcess(data->file("data"));
  }
  static void TearDownTestSuite() {
    delete process;
    delete data;
  }

  template <class T>
  Server::ServerResponse<T> ask(Server::ServerRequest<T>* request) {
    return answerOf(server, request);
  }

  static testsupport::TempDir* data;
  static ServerProcess* process;
  Server server{process->url(""), process->udpPort, &loop, process->caPath()};
};

testsupport::TempDir* RealServer::data = nullptr;
ServerProcess* RealServer::process = nullptr;

}  // namespace

TEST_F(RealServer, LoginLearnsTheRendezvousAddressFromTheConnectionNotAProxy) {
  // Through a proxy, the address learnt would be the proxy's.
  testsupport::ScopedEnv https("https_proxy", "http://127.0.0.1:1"), all("ALL_PROXY", "http://127.0.0.1:1");
  testsupport::ScopedEnv noProxy("no_proxy"), NO_PROXY("NO_PROXY");
  const std::string key = userKey(kAnn, kAnnPassword);
  Recorder<long long> first(loop);
  bool learntBeforeCallback = true;
  first.then = [&](const Server::ServerResponse<long long>&) { learntBeforeCallback = server.getUdpAddr().isValid(); };
  server.exec(new LoginRequest("pc-login", "nobody@example.com", key, "", false), &first);
  runBounded(loop);
  EXPECT_EQ("404 Not Found", outcome(first.answers.at(0)));
  EXPECT_FALSE(learntBeforeCallback);
  ASSERT_TRUE(server.getUdpAddr().isValid());  // an error answer teaches it too
  EXPECT_EQ("127.0.0.1", server.getUdpAddr().getIp());
  EXPECT_EQ(process->udpPort, server.getUdpAddr().getPort());
  EXPECT_EQ("127.0.0.1", server.getLocalIp());
}

// Register, Verify, TicketCreate and TicketGet meet the stand-in in the engine's own tests.
TEST_F(RealServer, Oauth2HandsOutABrowserSignInOnce) {
  EXPECT_EQ("", ask(new Oauth2("pc-browser")).response.name);
  const std::string form =
      "uuid=pc-browser&email=" + Utils::urlEncode(kAnn) + "&password=" + Utils::urlEncode(kAnnPassword);
  ASSERT_EQ(200, servertest::https(process->url("Oauth2"), process->caPath(), &form).status);
  auto signedIn = ask(new Oauth2("pc-browser"));
  EXPECT_EQ(kAnn, signedIn.response.name);
  EXPECT_EQ(userKey(kAnn, kAnnPassword), signedIn.response.key);
  EXPECT_EQ("", ask(new Oauth2("pc-browser")).response.name);
}

TEST_F(RealServer, CallbackMayStartAnotherCallOrDeleteTheServer) {
  auto* own = new Server(process->url(""), process->udpPort, &loop, process->caPath());
  Recorder<bool> recorder(loop);
  recorder.then = [&](const Server::ServerResponse<bool>&) {
    if (recorder.answers.size() == 1)
      own->exec(new ForgotPassword(kAnn), &recorder);  // as the login does after "Locked"
    else
      delete own;
  };
  own->exec(new ForgotPassword(kAnn), &recorder);
  runBounded(loop);
  ASSERT_EQ(2u, recorder.answers.size());
  EXPECT_EQ("200 ", outcome(recorder.answers[1]));
}

TEST_F(RealServer, ExceptionFromCallbackReachesTheLoopRunner) {
  Recorder<bool> recorder(loop);
  recorder.then = [](const Server::ServerResponse<bool>&) { throw std::runtime_error("handler broke"); };
  server.exec(new ForgotPassword(kAnn), &recorder);
  EXPECT_THROW(runBounded(loop), std::runtime_error);
  EXPECT_EQ(1u, recorder.answers.size());
}

TEST_F(RealServer, SilenceDuringTheHandshakeEndsInTheTimeOut) {
  FakeHttp http;
  Server slow(http.base("https"), 4183, &loop, process->caPath());
  slow.setTimeouts(2000, 400);
  auto start = std::chrono::steady_clock::now();
  auto answer = answerOf(slow, login());
  EXPECT_EQ(28, answer.status) << answer.error;  // CURLE_OPERATION_TIMEDOUT
  EXPECT_GE(msSince(start), 350);
  EXPECT_LT(msSince(start), 1500);  // well before the connect time-out
}

TEST_F(RealServer, TrustsOnlyTheGivenCaFile) {
  testsupport::TempDir dir;
  ServerProcess other(dir.file("data"));  // with its own certificate authority
  const std::vector<std::pair<std::string, int>> cases = {
      {other.caPath(), 60},           // CURLE_PEER_FAILED_VERIFICATION
      {dir.file("missing.pem"), 77},  // CURLE_SSL_CACERT_BADFILE
  };
  for (const auto& [caFile, status] : cases) {
    Server wrong(process->url(""), process->udpPort, &loop, caFile);
    auto answer = answerOf(wrong, new ForgotPassword(kAnn));
    EXPECT_EQ(status, answer.status) << caFile;
    EXPECT_NE(std::string::npos, answer.error.find("certificate")) << answer.error;
    EXPECT_FALSE(wrong.getUdpAddr().isValid());
  }
}

// A Server's calls share a connection and never lend it to another Server; one that the web
// server closed meanwhile (here by restarting) is replaced by a new one, not failed.
TEST_F(RealServer, CallsReuseTheirOwnConnectionAndReplaceOneTheServerClosed) {
  testsupport::TempDir dir;
  ServerProcess own(dir.file("data"));
  Server client(own.url(""), own.udpPort, &loop, own.caPath());
  const auto forgot = [&](Server& s) { return outcome(answerOf(s, new ForgotPassword(kAnn))); };
  const struct {
    const char* step;
    long connectionsAfter;
  } steps[] = {{"first", 1}, {"second", 1}, {"restart", 2}, {"after restart", 2}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    if (std::string(step.step) == "restart") own.restart();
    EXPECT_EQ("200 ", forgot(client));
    EXPECT_EQ(step.connectionsAfter, client.connectionsOpened());
    if (std::string(step.step) != "second") continue;
    // Trusting another authority, a Server to the same address gets no verified connection.
    Server stranger(own.url(""), own.udpPort, &loop, process->caPath());
    EXPECT_EQ(60, answerOf(stranger, new ForgotPassword(kAnn)).status);  // CURLE_PEER_FAILED_VERIFICATION
  }
}
