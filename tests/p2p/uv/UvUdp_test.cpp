#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "p2p/uv/UvTimer.h"
#include "p2p/uv/UvUdp.h"

#include "support/TestSupport.h"

using namespace p2p;

using testsupport::runUntil;

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address;
  uv_ip4_addr("127.0.0.1", port, &address);
  return address;
}

// A plain socket on 127.0.0.1 at the other end.
struct Peer {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = loopback(0);
  Peer() {
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  }
  ~Peer() { ::close(fd); }
  void sendTo(int port, const std::string& bytes) {
    sockaddr_in to = loopback(port);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  bool readable() {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  std::string receive() {
    char buffer[2048];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
  }
};

struct Events : UvUdp::RecvCb {
  std::vector<std::string> seen;
  void handleRecv(int8_t* bytes, int n, const sockaddr* addr) override {
    if (!addr) return;  // libuv's "nothing more to read"
    auto* from = reinterpret_cast<const sockaddr_in*>(addr);
    seen.push_back(std::to_string(ntohs(from->sin_port)) + " '" + std::string(reinterpret_cast<char*>(bytes), n) + "'");
  }
  void handleRecvError(int status, const std::string& reason) override {
    seen.push_back("error " + std::to_string(status) + " " + reason);
  }
};

struct Result : UvUdp::SendCb {
  int8_t* bytes = nullptr;
  int n = -1;
  void handleSend(int8_t* b, int count) override {
    bytes = b;
    n = count;
  }
  void handleSendError(int status, const std::string& reason) override { FAIL() << reason << " " << status; }
};

}  // namespace

TEST(UvUdp, ReportsDatagramsEmptyOnesAndOnesLargerThanItsBuffers) {
  UvLoop loop;
  Events events;
  sockaddr_in any = loopback(0);
  UvUdp udp(reinterpret_cast<sockaddr*>(&any), &loop, &events);
  Peer peer;
  const std::string from = std::to_string(ntohs(peer.address.sin_port));

  peer.sendTo(udp.getPort(), "");
  peer.sendTo(udp.getPort(), std::string(UvUdp::BUFFER_SIZE + 1, 'x'));
  peer.sendTo(udp.getPort(), std::string(UvUdp::BUFFER_SIZE, 'y'));
  peer.sendTo(udp.getPort(), "abc");
  ASSERT_TRUE(runUntil(loop, [&] { return events.seen.size() == 4; }));
  EXPECT_EQ(events.seen[0], from + " ''");
  EXPECT_EQ(events.seen[1], "error 1 buffer too small");
  EXPECT_EQ(events.seen[2], from + " '" + std::string(UvUdp::BUFFER_SIZE, 'y') + "'");
  EXPECT_EQ(events.seen[3], from + " 'abc'");

  udp.stop();
  peer.sendTo(udp.getPort(), "after stop");
  runUntil(loop, [] { return false; }, 50);
  EXPECT_EQ(events.seen.size(), 4u);
}

TEST(UvUdp, SendReportsItsBytesAndOneSendAtATimePerCallback) {
  UvLoop loop;
  Events events;
  sockaddr_in any = loopback(0);
  UvUdp udp(reinterpret_cast<sockaddr*>(&any), &loop, &events);
  Peer peer;

  char hello[] = "hello";
  auto* bytes = reinterpret_cast<int8_t*>(hello);
  Result result;
  udp.send(bytes, 5, reinterpret_cast<sockaddr*>(&peer.address), &result);
  std::string busy;
  try {
    udp.send(bytes, 5, reinterpret_cast<sockaddr*>(&peer.address), &result);
  } catch (const std::exception& e) {
    busy = e.what();
  }
  EXPECT_EQ(busy, "uv_udp_send error " + std::to_string(UV_EBUSY) + " " + uv_strerror(UV_EBUSY));
  ASSERT_TRUE(runUntil(loop, [&] { return result.n >= 0 && peer.readable(); }));
  EXPECT_EQ(result.bytes, bytes);
  EXPECT_EQ(result.n, 5);
  EXPECT_EQ(peer.receive(), "hello");
  EXPECT_FALSE(peer.readable());  // the refused second send never left

  // The request is reused, and a callback deleted with its send in flight is left behind safely.
  auto* abandoned = new Result;
  udp.send(bytes, 5, reinterpret_cast<sockaddr*>(&peer.address), &result);
  udp.send(bytes, 2, reinterpret_cast<sockaddr*>(&peer.address), abandoned);
  delete abandoned;
  ASSERT_TRUE(runUntil(loop, [&] { return result.n == 5 && peer.readable(); }));
  EXPECT_EQ(peer.receive(), "hello");
}
