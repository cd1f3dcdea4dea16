#include "p2p/uv/HttpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace p2p;
using namespace std::chrono_literals;
using testsupport::failureOf;

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 3\r\n\r\nok\n";

void answerOk(HttpServerRequest&, HttpServerResponse& response) {
  response.setHeader("Connection", "close");
  response << "ok" << std::endl;
}

// A blocking client socket whose reads give up after a few seconds.
struct RawClient {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);

  explicit RawClient(int port) {
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    int one = 1;  // each send its own segment
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address = servertest::loopback(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~RawClient() { ::close(fd); }

  void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Everything until the server closes, with a mark when it did not close in time.
  std::string readToEnd() {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) all.append(buffer, static_cast<size_t>(n));
    return n == 0 || errno == ECONNRESET ? all : all + "<still open>";
  }
};

// A server listening on loopback, its loop running on its own thread; requests are recorded.
struct Harness {
  std::unique_ptr<UvLoop> loop = std::make_unique<UvLoop>();
  std::unique_ptr<HttpServer> server;
  std::thread runner;
  std::string runFailure;
  int port = 0;
  std::vector<HttpServerRequest> seen;  // read once the runner has ended

  explicit Harness(HttpServerListener reply = answerOk, int idleTimeoutMsec = HttpServer::kDefaultIdleTimeoutMsec) {
    auto record = [this, reply](HttpServerRequest& request, HttpServerResponse& response) {
      seen.push_back(request);
      reply(request, response);
    };
    server = std::make_unique<HttpServer>(loop.get(), record, idleTimeoutMsec);
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = servertest::randomFreePort();
      if (failureOf([&] { server->listen("127.0.0.1", port); }).empty()) break;
    }
    runner = std::thread([this] { runFailure = failureOf([this] { loop->run(); }); });
  }

  ~Harness() {
    if (runner.joinable()) stop();
    server.reset();
    if (loop) loop->run();
  }

  void stop() {
    loop->stop();
    runner.join();
  }
};

size_t handlesOtherThanAsync(UvLoop& loop) {
  size_t count = 0;
  auto countOne = [](uv_handle_t* handle, void* arg) {
    if (handle->type != UV_ASYNC) ++*static_cast<size_t*>(arg);
  };
  uv_walk(loop.uvLoop(), countOne, &count);
  return count;
}

}  // namespace

TEST(HttpServer, EachConnectionGetsOneAnswerOrIsDroppedAlone) {
  Harness h;
  struct Case {
    std::vector<std::string> pieces;  // each its own write
    bool halfClose;
    std::string answer;
  } cases[] = {
      {{std::string("\x16\x03\x01\x02\x00 not http\r\n\r\n", 18)}, false, ""},
      {{"GET /" + std::string(HttpServer::kMaxRequestBytes + 4096, 'a')}, false, ""},  // never ends, beyond the bound
      {{"GET /RE", "CV?code=a", "bc HTTP/1.1\r\nHo", "st: x\r\n", "\r\n"}, false, kOk},
      {{"GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n"}, false, kOk},  // only /a answered
      {{"GET /c HTTP/1.0\r\n\r\n"}, true, kOk},  // half-closed right after the request
      {{"POST /post HTTP/1.1\r\nX-Extra: 1\r\nContent-Length: 7\r\n\r\na=1&b=2"}, false, kOk},
  };
  for (const Case& c : cases) {
    RawClient client(h.port);
    for (const std::string& piece : c.pieces) {
      client.send(piece);
      std::this_thread::sleep_for(30ms);
    }
    if (c.halfClose) ::shutdown(client.fd, SHUT_WR);
    EXPECT_EQ(client.readToEnd(), c.answer) << c.pieces[0].substr(0, 20);
  }
  h.stop();
  std::vector<std::string> requests;  // the handler is given the method and the URL only
  for (const HttpServerRequest& r : h.seen)
    requests.push_back(r.method + " " + r.url + (r.headers.empty() && r.body.empty() ? "" : " and more"));
  EXPECT_EQ(requests, (std::vector<std::string>{"GET /RECV?code=abc", "GET /a", "GET /c", "POST /post"}));
}

TEST(HttpServer, IdleConnectionsAreClosed) {
  // The handler of /quiet never flushes; that connection waits for the idle timeout too.
  Harness h(
      [](HttpServerRequest& request, HttpServerResponse& response) {
        if (request.url != "/quiet") answerOk(request, response);
      },
      200);
  RawClient silent(h.port), partial(h.port), unanswered(h.port);
  partial.send("GET /part");
  unanswered.send("GET /quiet HTTP/1.1\r\n\r\n");
  for (RawClient* client : {&silent, &partial, &unanswered}) EXPECT_EQ(client->readToEnd(), "");
  // A connection is not cut while it keeps sending.
  RawClient slow(h.port);
  for (const char* piece : {"GET /slow", " HTTP/1.1\r\n", "Host: x\r\n", "\r\n"}) {
    std::this_thread::sleep_for(120ms);
    slow.send(piece);
  }
  EXPECT_EQ(slow.readToEnd(), kOk);
}

TEST(HttpServer, HandlerExceptionLeavesTheLoopAndClosesTheConnection) {
  Harness h([](HttpServerRequest&, HttpServerResponse&) { throw std::runtime_error("broken state"); });
  RawClient client(h.port);
  client.send("GET /x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.readToEnd(), "");
  h.runner.join();
  EXPECT_EQ(h.runFailure, "broken state");
}

TEST(HttpServer, FailedListenLeavesNothingOpenAndSuccessBindsLoopbackOnly) {
  UvLoop loop;
  HttpServer server(&loop, answerOk);
  int port;
  {
    Harness holder;  // another server holds the port
    port = holder.port;
    auto status = [](const std::string& name, int code) {
      return name + " error " + std::to_string(code) + " " + uv_strerror(code);
    };
    for (int attempt = 0; attempt < 10; ++attempt) {  // the engine's ten attempts, a fresh handle each
      EXPECT_EQ(failureOf([&] { server.listen("0.0.0.0", port); }), status("uv_listen", UV_EADDRINUSE));
    }
    EXPECT_EQ(failureOf([&] { server.listen("not an address", port); }), status("uv_ip4_addr", UV_EINVAL));
    EXPECT_EQ(failureOf([&] { server.listen("127.0.0.1", 70000); }), status("uv_ip4_addr", UV_EINVAL));
    loop.run();  // lets the closed handles go
    EXPECT_EQ(handlesOtherThanAsync(loop), 0u);
  }
  // Once the port is free, the same server listens, on loopback only, and serves. The kernel
  // lists sockets as "<address>:<port>" in hex; 0A is listening.
  ASSERT_EQ(server.listen("0.0.0.0", port), 0);
  char loopbackPort[16];
  std::snprintf(loopbackPort, sizeof loopbackPort, "0100007F:%04X", static_cast<unsigned>(port));
  std::ifstream table("/proc/net/tcp");
  std::vector<std::string> listening;
  for (std::string slot, local, remote, state, rest; table >> slot >> local >> remote >> state;
       std::getline(table, rest)) {
    if (state == "0A" && local.size() == 13 && local.substr(8) == loopbackPort + 8) listening.push_back(local);
  }
  EXPECT_EQ(listening, std::vector<std::string>{loopbackPort});
  std::thread runner([&] { loop.run(); });
  RawClient client(port);
  client.send("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.readToEnd(), kOk);
  loop.stop();
  runner.join();
}

TEST(HttpServer, ServerOrLoopGoneFirstClosesOpenConnections) {
  for (bool loopFirst : {false, true}) {
    Harness h;
    RawClient silent(h.port), partial(h.port);
    partial.send("GET /half");
    std::this_thread::sleep_for(100ms);  // both accepted
    h.stop();
    auto started = std::chrono::steady_clock::now();
    if (loopFirst) {
      h.loop.reset();  // the server left harmless
    } else {
      h.server.reset();
      h.loop->run();  // returns only once nothing is left open, idle timers included
      EXPECT_EQ(handlesOtherThanAsync(*h.loop), 0u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(silent.readToEnd(), "") << loopFirst;
    EXPECT_EQ(partial.readToEnd(), "") << loopFirst;
    EXPECT_TRUE(h.seen.empty());
  }
}
