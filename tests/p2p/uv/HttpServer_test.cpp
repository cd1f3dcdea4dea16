#include "p2p/uv/HttpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

using namespace p2p;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using testsupport::failureOf;

namespace {

int openSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  return fd;
}

sockaddr_in loopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port that was free a moment ago.
int freePort() {
  int fd = openSocket();
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// Another process's socket holding a port.
struct PortHolder {
  int fd = openSocket();
  explicit PortHolder(int port) {
    sockaddr_in address = loopbackAddress(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
      throw std::runtime_error("cannot hold port");
    }
  }
  ~PortHolder() { ::close(fd); }
};

// A blocking client socket whose reads give up after a few seconds.
struct RawClient {
  int fd = openSocket();

  explicit RawClient(int port) {
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  ~RawClient() { ::close(fd); }

  void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Everything until the server closes; `closed` stays false when the read timed out instead.
  std::string readToEnd(bool* closed) {
    std::string all;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        all.append(buffer, static_cast<size_t>(n));
        continue;
      }
      *closed = n == 0 || errno == ECONNRESET;
      return all;
    }
  }
};

// curl's output (-i: the response head exactly as received, then the body).
std::string curl(int port, const std::string& pathAndOptions) {
  std::string command = "curl -s -i --noproxy '*' --max-time 3 " + pathAndOptions;
  std::string::size_type at = command.find("URL");
  command.replace(at, 3, "'http://127.0.0.1:" + std::to_string(port));
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed");
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// A server on its own loop thread; the handler's view of each request is recorded.
struct Harness {
  UvLoop loop;
  std::unique_ptr<HttpServer> server;
  std::thread runner;
  std::exception_ptr runFailure;
  int port = 0;

  std::mutex lock;
  std::vector<HttpServerRequest> seen;

  using Reply = std::function<void(HttpServerRequest&, HttpServerResponse&)>;

  explicit Harness(Reply reply = answerOk, int idleTimeoutMsec = HttpServer::kDefaultIdleTimeoutMsec) {
    server = std::make_unique<HttpServer>(
        &loop,
        [this, reply](HttpServerRequest& request, HttpServerResponse& response) {
          {
            std::lock_guard<std::mutex> guard(lock);
            seen.push_back(request);
          }
          reply(request, response);
        },
        idleTimeoutMsec);
    listen();
  }

  ~Harness() {
    if (runner.joinable()) stopAndJoin();
    server.reset();
    loop.run();
  }

  static void answerOk(HttpServerRequest&, HttpServerResponse& response) {
    response.setHeader("Connection", "close");
    response << "ok" << std::endl;
  }

  void listen() {
    for (int attempt = 0;; ++attempt) {
      port = freePort();
      try {
        server->listen("127.0.0.1", port);
        return;
      } catch (const std::exception&) {
        if (attempt == 5) throw;
      }
    }
  }

  void start() {
    runner = std::thread([this] {
      try {
        loop.run();
      } catch (...) {
        runFailure = std::current_exception();
      }
    });
  }

  void stopAndJoin() {
    loop.stop();
    runner.join();
  }

  std::vector<HttpServerRequest> requests() {
    std::lock_guard<std::mutex> guard(lock);
    return seen;
  }
};

const std::string kOk = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 3\r\n\r\nok\n";

std::string statusText(const std::string& name, int status) {
  return name + " error " + std::to_string(status) + " " + uv_strerror(status);
}

size_t handlesOtherThanAsync(UvLoop& loop) {
  size_t count = 0;
  uv_walk(
      loop.uvLoop(),
      [](uv_handle_t* handle, void* arg) {
        if (handle->type != UV_ASYNC) ++*static_cast<size_t*>(arg);
      },
      &count);
  return count;
}

// The local "address:port" of each listening TCP socket on `port`, as the kernel lists them
// (hex; the address as the 32-bit word reads on this little-endian machine; state 0A: listening).
std::vector<std::string> listeningOn(int port) {
  char portSuffix[8];
  std::snprintf(portSuffix, sizeof portSuffix, ":%04X", static_cast<unsigned>(port));
  std::ifstream table("/proc/net/tcp");
  std::vector<std::string> found;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() == 13 && local.substr(8) == portSuffix) found.push_back(local);
  }
  return found;
}

}  // namespace

// ---- The response on its own ----

TEST(HttpServerResponse, BuildsStatusLineSortedHeadersAndLengthOnce) {
  std::vector<std::string> sent;
  {
    HttpServerResponse response;
    response.onEnd([&](std::string text) { sent.push_back(std::move(text)); });
    response.setStatus(404);
    response.setHeader("Content-Type", "text/plain");
    response.setHeader("Connection", "close");
    response.setHeader("Connection", "keep-alive");  // the first value stays
    response << "not found " << "/x" << std::endl;
    response << "more" << std::flush;  // a connection carries one response
  }
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0],
            "HTTP/1.1 404 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n"
            "Content-Length: 13\r\n\r\nnot found /x\n");
}

// ---- Requests and responses on the wire ----

TEST(HttpServer, CurlGetsTheExactBytesAndTheHandlerOnlyUrlAndMethod) {
  Harness h([](HttpServerRequest&, HttpServerResponse& response) {
    response.setHeader("Connection", "close");
    response << std::endl;
  });
  h.start();
  EXPECT_EQ(curl(h.port, "-H 'X-Extra: 1' URL/RECV?code=abc&callback=f'"),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\n\n");
  EXPECT_EQ(curl(h.port, "-d 'a=1&b=2' URL/post'"),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\n\n");
  h.stopAndJoin();

  auto requests = h.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, "/RECV?code=abc&callback=f");
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_TRUE(requests[0].headers.empty());
  EXPECT_EQ(requests[1].url, "/post");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].body, "");
}

TEST(HttpServer, RequestSplitOverSeveralWritesIsParsedWhole) {
  Harness h;
  h.start();
  RawClient client(h.port);
  for (const char* piece : {"GET /RE", "CV?code=a", "bc HTTP/1.1\r\nHo", "st: x\r\n", "\r\n"}) {
    client.send(piece);
    std::this_thread::sleep_for(30ms);  // each piece its own read
  }
  bool closed = false;
  EXPECT_EQ(client.readToEnd(&closed), kOk);
  EXPECT_TRUE(closed);
  h.stopAndJoin();
  ASSERT_EQ(h.requests().size(), 1u);
  EXPECT_EQ(h.requests()[0].url, "/RECV?code=abc");
}

TEST(HttpServer, OneResponsePerConnectionThenClose) {
  Harness h;
  h.start();
  {
    // Both requests arrive in one read; keep-alive is implied by HTTP/1.1 and still not honoured.
    RawClient client(h.port);
    client.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), kOk);
    EXPECT_TRUE(closed);
  }
  {
    // A client that half-closes right after its request still gets the whole answer.
    RawClient client(h.port);
    client.send("GET /c HTTP/1.0\r\n\r\n");
    ::shutdown(client.fd, SHUT_WR);
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), kOk);
    EXPECT_TRUE(closed);
  }
  h.stopAndJoin();
  auto requests = h.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, "/a");
  EXPECT_EQ(requests[1].url, "/c");
}

TEST(HttpServer, BadInputCostsOnlyItsOwnConnection) {
  Harness h;
  h.start();
  {
    RawClient client(h.port);
    client.send(std::string("\x16\x03\x01\x02\x00 not http\r\n\r\n", 18));
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), "");
    EXPECT_TRUE(closed);
  }
  {
    // A request line that never ends, beyond the size bound.
    RawClient client(h.port);
    client.send("GET /" + std::string(HttpServer::kMaxRequestBytes + 4096, 'a'));
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), "");
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(curl(h.port, "URL/next'"), kOk);
  h.stopAndJoin();
  ASSERT_EQ(h.requests().size(), 1u);
  EXPECT_EQ(h.requests()[0].url, "/next");
}

TEST(HttpServer, IdleConnectionsAreClosed) {
  // The handler of /quiet never flushes; that connection waits for the idle timeout too.
  Harness h(
      [](HttpServerRequest& request, HttpServerResponse& response) {
        if (request.url != "/quiet") Harness::answerOk(request, response);
      },
      200);
  h.start();
  RawClient silent(h.port);
  RawClient partial(h.port);
  partial.send("GET /part");
  RawClient unanswered(h.port);
  unanswered.send("GET /quiet HTTP/1.1\r\n\r\n");

  for (RawClient* client : {&silent, &partial, &unanswered}) {
    auto started = Clock::now();
    bool closed = false;
    EXPECT_EQ(client->readToEnd(&closed), "");
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - started, 2s);
  }
  // A connection is not cut while it keeps sending.
  RawClient slow(h.port);
  for (const char* piece : {"GET /slow", " HTTP/1.1\r\n", "Host: x\r\n", "\r\n"}) {
    std::this_thread::sleep_for(120ms);
    slow.send(piece);
  }
  bool closed = false;
  EXPECT_EQ(slow.readToEnd(&closed), kOk);
  h.stopAndJoin();
}

TEST(HttpServer, HandlerExceptionLeavesTheLoopAndClosesTheConnection) {
  Harness h([](HttpServerRequest&, HttpServerResponse&) { throw std::runtime_error("broken state"); });
  h.start();
  RawClient client(h.port);
  client.send("GET /x HTTP/1.1\r\n\r\n");
  bool closed = false;
  EXPECT_EQ(client.readToEnd(&closed), "");
  EXPECT_TRUE(closed);
  h.runner.join();
  ASSERT_TRUE(h.runFailure);
  EXPECT_EQ(failureOf([&] { std::rethrow_exception(h.runFailure); }), "broken state");
}

// ---- Listening ----

TEST(HttpServer, FailedListenLeavesNothingOpenAndSuccessBindsLoopback) {
  UvLoop loop;
  HttpServer server(&loop, Harness::answerOk);
  int port = freePort();
  {
    PortHolder holder(port);
    // The engine's ten attempts on a port another program holds.
    for (int attempt = 0; attempt < 10; ++attempt) {
      EXPECT_EQ(failureOf([&] { server.listen("0.0.0.0", port); }), statusText("uv_listen", UV_EADDRINUSE));
    }
    EXPECT_EQ(failureOf([&] { server.listen("not an address", port); }), statusText("uv_ip4_addr", UV_EINVAL));
    EXPECT_EQ(failureOf([&] { server.listen("127.0.0.1", 70000); }), statusText("uv_ip4_addr", UV_EINVAL));
    loop.run();  // lets the closed handles go
    EXPECT_EQ(handlesOtherThanAsync(loop), 0u);
  }
  // Once the port is free, the same server listens, on loopback only, and serves.
  ASSERT_EQ(server.listen("0.0.0.0", port), 0);
  char loopback[16];
  std::snprintf(loopback, sizeof loopback, "0100007F:%04X", static_cast<unsigned>(port));
  EXPECT_EQ(listeningOn(port), std::vector<std::string>{loopback});
  std::string answer;
  std::atomic<bool> answered{false};
  std::thread client([&] {
    answer = curl(port, "URL/'");
    answered = true;
  });
  auto deadline = Clock::now() + 3s;
  while (!answered && Clock::now() < deadline) uv_run(loop.uvLoop(), UV_RUN_NOWAIT);
  client.join();
  EXPECT_EQ(answer, kOk);
}

// ---- Shutting down with connections open ----

TEST(HttpServer, DeletingTheServerClosesOpenConnections) {
  Harness h;
  h.start();
  RawClient silent(h.port);
  RawClient partial(h.port);
  partial.send("GET /half");
  std::this_thread::sleep_for(100ms);  // both accepted
  h.stopAndJoin();

  auto started = Clock::now();
  h.server.reset();
  h.loop.run();  // returns only once nothing is left open, idle timers included
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_EQ(handlesOtherThanAsync(h.loop), 0u);
  for (RawClient* client : {&silent, &partial}) {
    bool closed = false;
    EXPECT_EQ(client->readToEnd(&closed), "");
    EXPECT_TRUE(closed);
  }
  EXPECT_TRUE(h.requests().empty());
}

TEST(HttpServer, LoopDestroyedFirstLeavesTheServerHarmless) {
  auto loop = std::make_unique<UvLoop>();
  auto server = std::make_unique<HttpServer>(loop.get(), Harness::answerOk);
  int port = freePort();
  server->listen("127.0.0.1", port);
  std::thread runner([&] { loop->run(); });
  RawClient client(port);
  client.send("GET /half");
  std::this_thread::sleep_for(100ms);
  loop->stop();
  runner.join();

  loop.reset();
  bool closed = false;
  EXPECT_EQ(client.readToEnd(&closed), "");
  EXPECT_TRUE(closed);
  server.reset();
}
