// One-way throughput of the UDP router on 127.0.0.1: one router streams Data messages with a
// 1400-byte payload for about two seconds, the other counts what arrives. Run both ways: the
// two routers on one loop, and each on its own loop and thread; and both ways of sending: one
// datagram per system call, and each turn's batch as one burst (segmentation offload), which the
// receiving socket reads whole where the kernel keeps it so.
// Build Release before reading anything into the figures.
//
//   udp_router_bench [loop|threads|both] [batch] [single|bursts|both]
//                    batch: sends per loop turn (default 32)
//
// The receiver reads a bounded number of datagrams per turn of its loop, so on one loop a
// larger batch overruns it by design; the router keeps up to 64 send objects for reuse.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "p2p/messages/Data.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvTimer.h"

using namespace p2p;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPayload = 1400;
constexpr auto kSendFor = std::chrono::seconds(2);
constexpr auto kDrain = std::chrono::milliseconds(200);  // lets the last datagrams land

// Counts the Data messages that arrive; written on the receiving loop only.
struct Counter : UdpRouter::Cb {
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> payloadBytes{0};
  bool handleRouter(Message* m, const SocketAddress&) override {
    if (m->getOpcode() != Message::data) return false;
    received.fetch_add(1, std::memory_order_relaxed);
    payloadBytes.fetch_add(static_cast<Data*>(m)->dataBuffer->remaining(), std::memory_order_relaxed);
    return true;
  }
};

// Sends `batch` messages on every turn of its loop until the time is up, then stops its loop
// once `drained` says so.
class Sender : public UvTimer::Cb {
 public:
  Sender(UdpRouter& router, const SocketAddress& to, int batch, bool bursts, std::function<bool()> drained)
      : router(router), to(to), batch(batch), bursts(bursts), drained(std::move(drained)), payload(kPayload),
        data(1, 0, &payload), idle(allocUv<uv_idle_t>()), timer(router.getLoop()) {
    for (int i = 0; i < kPayload; ++i) payload.array()[i] = static_cast<int8_t>(i);
    uv_idle_init(router.getLoop()->uvLoop(), idle);
    idle->data = this;
  }
  ~Sender() override { closeAndFree(reinterpret_cast<uv_handle_t*>(idle)); }

  void start() {
    started = Clock::now();
    uv_idle_start(idle, onIdle);
    timer.start(20, 20, this);
  }

  uint64_t sent = 0;
  Clock::time_point started;
  Clock::time_point finished;
  std::atomic<bool> done{false};

 private:
  static void onIdle(uv_idle_t* handle) {
    UvLoop::guard(handle->loop, [handle] { static_cast<Sender*>(handle->data)->turn(); });
  }

  void turn() {
    if (Clock::now() - started >= kSendFor) {
      uv_idle_stop(idle);
      finished = Clock::now();
      done = true;
      return;
    }
    std::optional<UdpRouter::Burst> burst;
    if (bursts) burst.emplace(&router);
    for (int i = 0; i < batch; ++i) {
      payload.position(0);
      data.sequence = static_cast<int32_t>(sent++);
      router.send(&data, to);
    }
  }

  void handleTimer() override {
    if (done && drained()) router.getLoop()->stop();
  }

  UdpRouter& router;
  SocketAddress to;
  int batch;
  bool bursts;
  std::function<bool()> drained;
  ByteBuffer payload;
  Data data;
  uv_idle_t* idle;
  UvTimer timer;
};

void report(const char* mode, int batch, bool bursts, const Sender& sender, const Counter& counter) {
  const double seconds = std::chrono::duration<double>(sender.finished - sender.started).count();
  const uint64_t received = counter.received.load();
  const uint64_t datagramBytes = received * (UdpRouter::HEADER_LENGTH + kPayload);
  std::printf("%-8s %-6s batch %3d: sent %9llu  received %9llu  lost %8llu (%.2f%%)  %10.0f datagrams/s  %8.1f MB/s "
              "(payload %.1f MB/s)\n",
              mode, bursts ? "bursts" : "single", batch, static_cast<unsigned long long>(sender.sent), static_cast<unsigned long long>(received),
              static_cast<unsigned long long>(sender.sent - received),
              sender.sent ? 100.0 * static_cast<double>(sender.sent - received) / static_cast<double>(sender.sent) : 0.0,
              static_cast<double>(received) / seconds, static_cast<double>(datagramBytes) / seconds / 1e6,
              static_cast<double>(counter.payloadBytes.load()) / seconds / 1e6);
}

void oneLoop(int batch, bool bursts) {
  UvLoop loop;
  UdpRouter receiver(&loop);
  UdpRouter source(&loop);
  Counter counter;
  receiver.addListener(&counter);
  Sender* senderPtr = nullptr;
  Sender sender(source, SocketAddress("127.0.0.1", receiver.getUdp()->getPort()), batch, bursts,
                [&] { return Clock::now() - senderPtr->finished >= kDrain; });
  senderPtr = &sender;
  sender.start();
  loop.run();
  receiver.removeListener(&counter);
  report("loop", batch, bursts, sender, counter);
}

void twoThreads(int batch, bool bursts) {
  UvLoop sendLoop;
  UvLoop recvLoop;
  UdpRouter receiver(&recvLoop);
  UdpRouter source(&sendLoop);
  Counter counter;
  receiver.addListener(&counter);
  Sender* senderPtr = nullptr;
  Sender sender(source, SocketAddress("127.0.0.1", receiver.getUdp()->getPort()), batch, bursts,
                [&] { return Clock::now() - senderPtr->finished >= kDrain; });
  senderPtr = &sender;
  std::atomic<bool> receiving{false};
  std::thread recvThread([&] {
    receiving = true;
    recvLoop.run();
  });
  while (!receiving) std::this_thread::yield();
  sender.start();
  sendLoop.run();
  recvLoop.stop();
  recvThread.join();
  receiver.removeListener(&counter);
  report("threads", batch, bursts, sender, counter);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "both";
  const int batch = argc > 2 ? std::max(1, std::atoi(argv[2])) : 32;
  const std::string sending = argc > 3 ? argv[3] : "both";
  try {
    for (const bool bursts : {false, true}) {
      if (sending != "both" && (sending == "bursts") != bursts) continue;
      if (mode == "loop" || mode == "both") oneLoop(batch, bursts);
      if (mode == "threads" || mode == "both") twoThreads(batch, bursts);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "udp_router_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
