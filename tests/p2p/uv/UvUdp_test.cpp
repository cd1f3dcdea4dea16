#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "p2p/uv/UvUdp.h"

#include "server/ServerProcess.h"
#include "support/TestSupport.h"

using namespace p2p;

using testsupport::runUntil;

namespace {

// A plain socket on 127.0.0.1 at the other end, and the UvUdp under test with what it reported.
struct Pair : UvUdp::RecvCb, UvUdp::SendCb {
  UvLoop loop;
  servertest::UdpPeer peer;
  const sockaddr_in peerAddress = servertest::loopback(peer.port), any = servertest::loopback(0);
  std::unique_ptr<UvUdp> udp = std::make_unique<UvUdp>(reinterpret_cast<const sockaddr*>(&any), &loop, this);
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
  Pair pair;
  const std::string from = std::to_string(pair.peer.port) + " '";
  const std::string full(UvUdp::BUFFER_SIZE, 'y');
  for (const std::string& bytes : {std::string(), full + "x", full, std::string("abc")}) pair.sendFromPeer(bytes);
  ASSERT_TRUE(runUntil(pair.loop, [&] { return pair.seen.size() == 4; }));
  EXPECT_EQ(pair.seen,
            (std::vector<std::string>{from + "'", "error 1 buffer too small", from + full + "'", from + "abc'"}));
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

  // Stopped or deleted at its first datagram, with more of the batch unread: the rest is not
  // reported and the batch's buffer is not lost (the sanitizer build checks).
  for (const bool deleteIt : {false, true}) {
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
    for (int i = 0; i < 10; ++i) quitter.sendFromPeer("q");
    runUntil(quitter.loop, [] { return false; }, 200);
    EXPECT_EQ(quitter.seen.size(), 1u);
  }
}
