// Two routers on 127.0.0.1 stream bytes for real, directly and through the chaos relay;
// both ends hash what they saw.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "p2p/messages/Connect.h"
#include "p2p/messages/Data.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/uv/UvTimer.h"
#ifdef UDP_CHAOS_PATH
#include "UdpChaos.h"
#endif

using namespace p2p;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int64_t kScale = 2;  // the sanitizers slow every packet down
#else
constexpr int64_t kScale = 1;
#endif

struct End : PeerStream::Cb {
  std::unique_ptr<PeerStream> stream;
  std::optional<std::string> closed;
  EVP_MD_CTX* sha = EVP_MD_CTX_new();
  int64_t bytes = 0;
  std::function<void()> more;  // the sender's pump
  End() { EVP_DigestInit_ex(sha, EVP_sha256(), nullptr); }
  ~End() override { EVP_MD_CTX_free(sha); }
  void hash(const int8_t* from, int32_t n) {
    EVP_DigestUpdate(sha, from, static_cast<size_t>(n));
    bytes += n;
  }
  std::string digest() {
    unsigned char out[32];
    EVP_DigestFinal_ex(sha, out, nullptr);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
  }
  void handle_connect() override { more(); }
  void handle_send() override { more(); }
  void handle_recv(ByteBuffer* b) override {
    hash(b->array() + b->position(), b->remaining());
    b->position(b->limit());
  }
  void handle_close(const std::string& reason) override { closed = reason, stream.reset(); }
};

// A sends `total` bytes of a counter pattern in 60 KiB frames, as the peer connection does,
// then closes; B is made on the first `connect`, as the acceptor does.
struct Pair : UdpRouter::Cb, UvTimer::Cb {
  UvLoop loop;
  UdpRouter routerA{&loop}, routerB{&loop};
  End a, b;
  int64_t total;
  ByteBuffer frame{61440};
  std::string firstPayload;  // as it reached B's router
  UvTimer watchdog{&loop};
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::chrono::steady_clock::time_point aClosed;

  explicit Pair(int64_t total) : total(total) {
    frame.limit(0);
    routerB.addListener(this);
    for (UdpRouter* router : {&routerA, &routerB}) router->getUdp()->setBufferSizes(4 << 20);
    a.more = [this] { pump(); };
  }
  ~Pair() override { routerB.removeListener(this); }
  void pump() {
    while (a.stream) {
      if (!frame.hasRemaining()) {
        if (a.bytes == total) return a.stream->close(false);  // may delete the stream
        frame.clear();
        while (frame.hasRemaining() && a.bytes + frame.position() < total)
          frame.putInt(static_cast<int32_t>(a.bytes + frame.position()));
        frame.flip();
        a.hash(frame.array(), frame.limit());
      }
      a.stream->send(&frame);
      if (frame.hasRemaining()) return;  // the rest after handle_send
    }
  }
  bool handleRouter(Message* m, const SocketAddress& from) override {
    if (m->getOpcode() == Message::data && firstPayload.empty()) {
      const ByteBuffer& payload = *static_cast<Data*>(m)->dataBuffer;
      firstPayload.assign(reinterpret_cast<char*>(payload.array() + payload.position()), 8);
    }
    if (m->getOpcode() != Message::connect || b.stream || b.closed) return false;
    b.stream.reset(new PeerStream(&routerB, &b));
    EXPECT_TRUE(b.stream->accept(static_cast<Connect*>(m), from));
    return true;
  }
  // B's close is waited for only briefly: through the relay A's Close may be lost.
  void handleTimer() override {
    const auto now = std::chrono::steady_clock::now();
    if (!a.closed) aClosed = now;
    if ((b.bytes == total && (b.closed || now - aClosed > std::chrono::milliseconds(200))) || now > deadline)
      loop.stop();
  }
  void run(const SocketAddress& to) {
    a.stream.reset(new PeerStream(&routerA, &a));
    a.stream->connect(to);
    watchdog.start(10, 10, this);
    loop.run();
    EXPECT_EQ(b.bytes, total);
    EXPECT_EQ(b.digest(), a.digest());
    ByteBuffer plain(8);
    plain.putInt(0).putInt(4);
    EXPECT_NE(firstPayload, std::string(reinterpret_cast<char*>(plain.array()), 8)) << "sent in the clear";
  }
  SocketAddress addressOfB() { return SocketAddress("127.0.0.1", routerB.getUdp()->getPort()); }
};

}  // namespace

TEST(PeerStreamLoopback, MovesBytesWholeAndEncrypted) {
  Pair pair((64 << 20) / kScale);
  pair.run(pair.addressOfB());
  EXPECT_EQ(pair.a.closed, std::optional<std::string>(""));
  EXPECT_EQ(pair.b.closed, std::optional<std::string>(""));
}

#ifdef UDP_CHAOS_PATH
TEST(PeerStreamLoopback, MovesBytesWholeThroughALossyRelay) {
  udpchaos::UdpChaos::Options options;
  options.seed = 7, options.loss = 0.05, options.duplicate = 0.01, options.reorder = 0.05;
  udpchaos::UdpChaos chaos(options);
  Pair pair((4 << 20) / kScale);
  SocketAddress to = pair.addressOfB();
  to.setProxy(chaos.address().getSockaddr());
  for (UdpRouter* router : {&pair.routerA, &pair.routerB}) router->addRelay(chaos.address());
  pair.run(to);
  EXPECT_GT(chaos.total().dropped, 0u);
}
#endif
