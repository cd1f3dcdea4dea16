// A TCP delay line on 127.0.0.1 for benchmarks that put a TCP program on a slow path without
// root (no netem, no namespaces): every connection to port() is joined to the target port, and
// each byte is held `delay` in each direction before it goes on. It delays, it does not limit the
// rate; each direction holds at most 16 MiB, then stops reading until it has passed some on. One
// thread; stopped and every socket closed with the object.
//
//   DelayedTcpProxy slow(relayPort, std::chrono::microseconds(12500));
//   connect to 127.0.0.1:slow.port()
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ServerProcess.h"

namespace benchsupport {

class DelayedTcpProxy {
 public:
  using Clock = std::chrono::steady_clock;

  DelayedTcpProxy(int targetPort, std::chrono::microseconds delay) : targetPort(targetPort), delay(delay) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = servertest::loopback(0);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      if (listener >= 0) close(listener);
      throw std::runtime_error("delay proxy: cannot listen on 127.0.0.1");
    }
    listenPort = ntohs(address.sin_port);
    worker = std::thread([this] { run(); });
  }
  ~DelayedTcpProxy() {
    const char stop = 0;
    const ssize_t woken = write(wake[1], &stop, 1);
    (void)woken;  // one byte into a pipe of its own: it cannot be full
    worker.join();
    for (auto& c : connections) c->closeBoth();
    close(listener);
    close(wake[0]);
    close(wake[1]);
  }
  DelayedTcpProxy(const DelayedTcpProxy&) = delete;
  DelayedTcpProxy& operator=(const DelayedTcpProxy&) = delete;

  int port() const { return listenPort; }

 private:
  static constexpr size_t MaxHeld = 16 << 20;
  static constexpr size_t ReadSize = 64 << 10;

  // What one read brought, due to go on at `due`; empty bytes stand for the end of the stream.
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };

  struct Direction {
    int from = -1, to = -1;
    std::deque<Chunk> held;
    size_t heldBytes = 0;
    size_t sentOfFront = 0;
    bool readEnded = false, writeEnded = false;
    bool mayRead() const { return !readEnded && heldBytes < MaxHeld; }
    bool frontDue(Clock::time_point now) const { return !held.empty() && held.front().due <= now; }
  };

  struct Connection {
    Direction up, down;  // client to target, target to client
    bool failed = false;
    bool over() const { return failed || (up.writeEnded && down.writeEnded); }
    void closeBoth() {
      close(up.from);
      close(up.to);
    }
  };

  void run() {
    for (;;) {
      std::vector<pollfd> fds = {{wake[0], POLLIN, 0}, {listener, POLLIN, 0}};
      const Clock::time_point now = Clock::now();
      Clock::time_point next = now + std::chrono::seconds(1);
      for (auto& c : connections) {
        for (Direction* d : {&c->up, &c->down}) {
          if (d->mayRead()) fds.push_back({d->from, POLLIN, 0});
          if (d->frontDue(now)) fds.push_back({d->to, POLLOUT, 0});
          else if (!d->held.empty()) next = std::min(next, d->held.front().due);
        }
      }
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(next - now, Clock::duration(0)));
      const timespec timeout{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
      if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) return;
      if (fds[0].revents) return;
      if (fds[1].revents) accept();
      for (auto& c : connections) {
        for (Direction* d : {&c->up, &c->down}) {
          if (!c->failed) pass(*d, c->failed);
        }
      }
      for (size_t i = 0; i < connections.size();) {
        if (!connections[i]->over()) {
          ++i;
          continue;
        }
        connections[i]->closeBoth();
        connections.erase(connections.begin() + static_cast<long>(i));
      }
    }
  }

  void accept() {
    const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = servertest::loopback(targetPort);
    if (target < 0 || connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(client);
      if (target >= 0) close(target);
      return;
    }
    fcntl(target, F_SETFL, fcntl(target, F_GETFL) | O_NONBLOCK);
    auto c = std::make_unique<Connection>();
    c->up.from = c->down.to = client;
    c->up.to = c->down.from = target;
    connections.push_back(std::move(c));
  }

  // Reads what has come and writes what is due, without blocking.
  void pass(Direction& d, bool& failed) {
    if (d.mayRead()) {
      std::string bytes(ReadSize, '\0');
      const ssize_t n = read(d.from, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.resize(static_cast<size_t>(n));
        d.heldBytes += bytes.size();
        d.held.push_back({Clock::now() + delay, std::move(bytes)});
      } else if (n == 0) {
        d.readEnded = true;
        d.held.push_back({Clock::now() + delay, std::string()});
      } else if (errno != EAGAIN && errno != EINTR) {
        failed = true;
        return;
      }
    }
    while (d.frontDue(Clock::now())) {
      Chunk& front = d.held.front();
      if (front.bytes.empty()) {
        shutdown(d.to, SHUT_WR);
        d.writeEnded = true;
        d.held.pop_front();
        return;
      }
      const ssize_t n = send(d.to, front.bytes.data() + d.sentOfFront, front.bytes.size() - d.sentOfFront, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) failed = true;
        return;
      }
      d.sentOfFront += static_cast<size_t>(n);
      if (d.sentOfFront < front.bytes.size()) return;
      d.heldBytes -= front.bytes.size();
      d.sentOfFront = 0;
      d.held.pop_front();
    }
  }

  int targetPort;
  std::chrono::microseconds delay;
  int listener = -1;
  int listenPort = 0;
  int wake[2] = {-1, -1};
  std::vector<std::unique_ptr<Connection>> connections;
  std::thread worker;
};

}  // namespace benchsupport
