// Two routers on 127.0.0.1 stream bytes for real through the chaos relay, which loses,
// duplicates and reorders datagrams; the receiver checks every byte as it comes.
#ifdef UDP_CHAOS_PATH
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "UdpChaos.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/Data.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/uv/UvTimer.h"

using namespace p2p;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int32_t kBytes = 2 << 20;  // the sanitizers slow every packet down
#else
constexpr int32_t kBytes = 4 << 20;
#endif

char patternAt(int64_t offset) { return static_cast<char>(offset * 131 + (offset >> 11)); }

struct End : PeerStream::Cb {
  std::unique_ptr<PeerStream> stream;
  std::optional<std::string> closed;
  int64_t bytes = 0, wrong = 0;
  std::function<void()> more = [] {};  // the sender's pump
  void handle_connect() override { more(); }
  void handle_send() override { more(); }
  void handle_recv(ByteBuffer* b) override {
    for (; b->hasRemaining(); ++bytes) wrong += b->get() != patternAt(bytes);
  }
  void handle_close(const std::string& reason) override { closed = reason, stream.reset(); }
};

// A sends the pattern, then closes; B is made on the first `connect`, as the acceptor does.
struct Pair : UdpRouter::Cb, UvTimer::Cb {
  UvLoop loop;
  UdpRouter routerA{&loop}, routerB{&loop};
  End a, b;
  std::string out = std::string(kBytes, '\0');
  ByteBuffer unsent{reinterpret_cast<int8_t*>(&out[0]), kBytes};
  std::string firstPayload;  // as it reached B's router
  UvTimer watchdog{&loop};
  const std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::chrono::steady_clock::time_point aClosed;

  Pair() {
    for (int32_t i = 0; i < kBytes; ++i) out[static_cast<size_t>(i)] = patternAt(i);
    routerB.addListener(this);
    a.more = [this] {
      if (a.stream) a.stream->send(&unsent);
      if (a.stream && !unsent.hasRemaining()) a.stream->close(false);  // may delete the stream
    };
  }
  ~Pair() override { routerB.removeListener(this); }
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
    if ((b.bytes == kBytes && (b.closed || now - aClosed > std::chrono::milliseconds(200))) || now > deadline)
      loop.stop();
  }
};

}  // namespace

TEST(PeerStreamLoopback, MovesBytesWholeAndEncryptedThroughALossyRelay) {
  udpchaos::UdpChaos::Options options;
  options.seed = 7, options.loss = 0.05, options.duplicate = 0.01, options.reorder = 0.05;
  udpchaos::UdpChaos chaos(options);
  Pair pair;
  SocketAddress to("127.0.0.1", pair.routerB.getUdp()->getPort());
  to.setProxy(chaos.address().getSockaddr());
  for (UdpRouter* router : {&pair.routerA, &pair.routerB}) router->addRelay(chaos.address());
  pair.a.stream.reset(new PeerStream(&pair.routerA, &pair.a));
  pair.a.stream->connect(to);
  pair.watchdog.start(10, 10, &pair);
  pair.loop.run();
  EXPECT_EQ(pair.b.bytes, kBytes);
  EXPECT_EQ(pair.b.wrong, 0);
  EXPECT_NE(pair.firstPayload, pair.out.substr(0, 8)) << "sent in the clear";
  EXPECT_GT(chaos.total().dropped, 0u);
}
#endif
