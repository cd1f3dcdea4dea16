#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "p2p/uv/UvUdp.h"

#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace p2p;

using testsupport::runUntil;

namespace {

// A kernel without receive offload, as far as the socket can tell.
int refuseReceiveOffload(int fd, int level, int name, const void* value, socklen_t length) {
  if (level == SOL_UDP && name == UDP_GRO) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return ::setsockopt(fd, level, name, value, length);
}

// Each way of receiving: bursts read whole where the kernel keeps them so, libuv's own read
// where it refuses.
const UvUdp::SetsockoptCall kernels[] = {::setsockopt, refuseReceiveOffload};

// A plain socket on 127.0.0.1 at the other end, and the UvUdp under test with what it reported.
struct Pair : UvUdp::RecvCb, UvUdp::SendCb {
  explicit Pair(UvUdp::SetsockoptCall kernel = ::setsockopt)
      : udp(std::make_unique<UvUdp>(reinterpret_cast<const sockaddr*>(&any), &loop, this, kernel)) {}

  UvLoop loop;
  servertest::UdpPeer peer;
  const sockaddr_in peerAddress = servertest::loopback(peer.port), any = servertest::loopback(0);
  std::unique_ptr<UvUdp> udp;
  std::vector<std::string> seen;

  void sendFromPeer(const std::string& bytes) { peer.sendRaw({bytes.begin(), bytes.end()}, udp->getPort()); }
  // One datagram that reached the peer, "" when none is waiting.
  std::string receiveAtPeer() {
    const auto bytes = peer.receive(0);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "";
  }

  void handleRecv(int8_t* bytes, int n, const sockaddr* addr) override {
    if (!addr) return;  // libuv's "nothing more to read"
    const int port = ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
    seen.push_back(std::to_string(port) + " '" + std::string(reinterpret_cast<char*>(bytes), n) + "'");
  }
  void handleRecvError(int status, const std::string& reason) override {
    seen.push_back("error " + std::to_string(status) + " " + reason);
  }
  void handleSend(int8_t* bytes, int n) override {
    seen.push_back("sent " + std::string(reinterpret_cast<char*>(bytes), n));
  }
  void handleSendError(int status, const std::string& reason) override { FAIL() << reason << " " << status; }
};

}  // namespace

TEST(UvUdp, ReportsDatagramsEmptyOnesAndOnesLargerThanItsBuffers) {
  for (const UvUdp::SetsockoptCall kernel : kernels) {
    Pair pair(kernel);
    EXPECT_EQ(pair.udp->readsBursts(), kernel == ::setsockopt);
    const std::string from = std::to_string(pair.peer.port) + " '";
    const std::string full(UvUdp::BUFFER_SIZE, 'y');
    for (const std::string& bytes : {std::string(), full + "x", full, std::string("abc")}) pair.sendFromPeer(bytes);
    ASSERT_TRUE(runUntil(pair.loop, [&] { return pair.seen.size() == 4; }));
    EXPECT_EQ(pair.seen,
              (std::vector<std::string>{from + "'", "error 1 buffer too small", from + full + "'", from + "abc'"}));
  }
}

namespace {

// Sends bursts to a Pair: `count` datagrams of `segment` bytes and a last one of `last` bytes,
// each filled with its own letter, in one segmented send.
struct BurstSender : UvUdp::RecvCb {
  const sockaddr_in any = servertest::loopback(0);
  UvUdp udp;
  explicit BurstSender(UvLoop& loop) : udp(reinterpret_cast<const sockaddr*>(&any), &loop, this) {}
  void handleRecv(int8_t*, int, const sockaddr*) override {}
  void handleRecvError(int, const std::string&) override {}

  // What the receiver should report, as BurstRecorder writes it.
  std::vector<std::string> send(UvUdp& to, int count, int segment, int last, char letter = 'A') {
    std::string bytes;
    std::vector<std::string> expected;
    for (int i = 0; i <= count; ++i, ++letter) {
      const int n = i < count ? segment : last;
      if (n == 0) break;
      bytes += std::string(static_cast<size_t>(n), letter);
      expected.push_back(n > UvUdp::BUFFER_SIZE ? "error 1 buffer too small"
                                                : std::to_string(udp.getPort()) + " " + std::to_string(n) + letter);
    }
    const sockaddr_in at = servertest::loopback(to.getPort());
    EXPECT_EQ(udp.sendSegments(reinterpret_cast<const int8_t*>(bytes.data()), static_cast<int>(bytes.size()),
                               segment, reinterpret_cast<const sockaddr*>(&at)),
              0);
    return expected;
  }
};

// Writes each datagram as "<sender port> <length><letter>", "mixed" when its bytes are not all
// one letter, and each read as its count of datagrams.
struct BurstRecorder : Pair {
  using Pair::Pair;
  std::vector<int> reads;
  void handleRecv(int8_t* bytes, int n, const sockaddr* addr) override {
    if (!addr) return;
    const std::string datagram(reinterpret_cast<char*>(bytes), static_cast<size_t>(n));
    const bool oneLetter = datagram.find_first_not_of(datagram.substr(0, 1)) == std::string::npos;
    const int port = ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
    seen.push_back(oneLetter ? std::to_string(port) + " " + std::to_string(n) + datagram.substr(0, 1) : "mixed");
  }
  void handleReadBegin() override { reads.push_back(static_cast<int>(seen.size())); }
  void handleReadEnd() override { reads.back() = static_cast<int>(seen.size()) - reads.back(); }
};

}  // namespace

TEST(UvUdp, ABurstIsReportedAsTheDatagramsItCarriesEachWithItsSender) {
  for (const UvUdp::SetsockoptCall kernel : kernels) {
    const bool whole = kernel == ::setsockopt;
    BurstRecorder pair(kernel);
    ASSERT_EQ(pair.udp->readsBursts(), whole);
    BurstSender one(pair.loop), two(pair.loop);
    std::vector<std::string> expected;
    const auto arrives = [&](std::vector<std::string> more) {
      expected.insert(expected.end(), more.begin(), more.end());
      return runUntil(pair.loop, [&] { return pair.seen.size() >= expected.size(); });
    };
    // Thirty datagrams and a shorter last one: one read where the kernel keeps the burst whole,
    // more than one where libuv reads it datagram by datagram.
    ASSERT_TRUE(arrives(one.send(*pair.udp, 30, 1000, 333)));
    EXPECT_EQ(pair.reads.size() == 1, whole);
    // Datagrams longer than the socket takes are dropped, the shorter last one is not; a burst
    // of datagrams all of one size; a datagram alone.
    ASSERT_TRUE(arrives(two.send(*pair.udp, 2, UvUdp::BUFFER_SIZE + 1, 10, 'a')));
    ASSERT_TRUE(arrives(one.send(*pair.udp, 3, UvUdp::BUFFER_SIZE, 0, 'x')));
    ASSERT_TRUE(arrives(two.send(*pair.udp, 0, 5, 5, 'z')));
    EXPECT_EQ(pair.seen, expected);
  }
}

TEST(UvUdp, OneSendAtATimePerCallbackAndAnAbandonedOneIsSafe) {
  Pair pair;
  char hello[] = "hello";
  auto* bytes = reinterpret_cast<int8_t*>(hello);
  const auto* to = reinterpret_cast<const sockaddr*>(&pair.peerAddress);
  std::string received;
  pair.udp->send(bytes, 5, to, &pair);
  EXPECT_EQ(testsupport::failureOf([&] { pair.udp->send(bytes, 5, to, &pair); }),
            "uv_udp_send error " + std::to_string(UV_EBUSY) + " " + uv_strerror(UV_EBUSY));
  auto arrived = [&](const std::string& all, size_t reports) {
    return runUntil(pair.loop,
                    [&] { return (received += pair.receiveAtPeer()) == all && pair.seen.size() == reports; });
  };
  ASSERT_TRUE(arrived("hello", 1));  // the refused second send never leaves
  EXPECT_EQ(pair.seen, (std::vector<std::string>{"sent hello"}));

  // The request is reused, and a callback deleted with its send in flight is left behind safely.
  struct Abandoned : UvUdp::SendCb {
    void handleSend(int8_t*, int) override { ADD_FAILURE(); }
    void handleSendError(int, const std::string&) override { ADD_FAILURE(); }
  };
  auto* abandoned = new Abandoned;
  pair.udp->send(bytes, 5, to, &pair);
  pair.udp->send(bytes, 2, to, abandoned);
  delete abandoned;
  ASSERT_TRUE(arrived("hellohellohe", 2));
}

TEST(UvUdp, ReadsComeInBracketedBatchesAndTheReceiverMayEndThemHalfway) {
  // Datagrams waiting together are read together, inside one begin and end.
  struct Batches : Pair {
    std::string marks;
    void handleReadBegin() override { marks += "["; }
    void handleReadEnd() override { marks += "]"; }
  };
  Batches batches;
  for (int i = 0; i < 10; ++i) batches.sendFromPeer("d");
  ASSERT_TRUE(runUntil(batches.loop, [&] { return batches.seen.size() == 10 && batches.marks.back() == ']'; }));
  EXPECT_LT(std::count(batches.marks.begin(), batches.marks.end(), '['), 10);

  // Stopped or deleted at its first datagram, with more of the batch or of the burst unread:
  // the rest is not reported and the batch's buffer is not lost (the sanitizer build checks).
  for (const auto& [deleteIt, burst] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
    struct Quitter : Pair {
      bool deleteIt = false;
      void handleRecv(int8_t* bytes, int n, const sockaddr* addr) override {
        Pair::handleRecv(bytes, n, addr);
        if (deleteIt) {
          udp.reset();
        } else {
          udp->stop();
        }
      }
    } quitter;
    quitter.deleteIt = deleteIt;
    BurstSender sender(quitter.loop);
    if (burst) {
      sender.send(*quitter.udp, 10, 1, 0);
    } else {
      for (int i = 0; i < 10; ++i) quitter.sendFromPeer("q");
    }
    runUntil(quitter.loop, [] { return false; }, 200);
    EXPECT_EQ(quitter.seen.size(), 1u);
  }
}
