// Throughput of one peer stream, each end on its own loop and thread:
//  1. on 127.0.0.1, 256 MiB encrypted and in the clear: MB/s and the CPU seconds both ends used;
//  2. through the udp-chaos relay with 25 ms each way (50 ms round trip), 32 MiB at 0 %, 1 % and
//     5 % loss, against the stream's bound of 100 packets of 1415 bytes per round trip.
// Build Release-like (RelWithDebInfo) before reading anything into the figures.
//
//   stream_bench [--mib N] [--chaos-mib N] [--chaos PATH | --no-chaos]
//
// PATH defaults to the udp-chaos program of the same build folder.

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "p2p/messages/Connect.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/uv/UvTimer.h"

using namespace p2p;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrame = 61440;                          // what the peer connection hands the stream at a time
constexpr double kBound = 100.0 * 1415 / 0.050 / 1e6;  // MB/s at a 50 ms round trip

struct ClearStream : PeerStream {
  ClearStream(UdpRouter* router, Cb* cb) : PeerStream(router, cb) { encrypt = false; }
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One end: its loop, router and stream; stops its loop when its part is done or time is up.
struct End : PeerStream::Cb, UdpRouter::Cb, UvTimer::Cb {
  UvLoop loop;
  UdpRouter router{&loop};
  UvTimer watch{&loop};
  std::unique_ptr<PeerStream> stream;
  bool sender = false;
  bool clear = false;
  int64_t total = 0;
  int64_t done = 0;  // bytes queued (sender) or received (receiver)
  std::string reason = "(open)";
  Clock::time_point deadline;
  Clock::time_point connected;
  Clock::time_point finished;
  ByteBuffer frame{kFrame};

  End() {
    router.getUdp()->setBufferSizes(4 << 20);
    router.addListener(this);
    for (int i = 0; i < kFrame; ++i) frame.array()[i] = static_cast<int8_t>(i * 7);
    frame.limit(0);
  }
  ~End() override {
    stream.reset();
    router.removeListener(this);
  }
  SocketAddress address() { return SocketAddress("127.0.0.1", router.getUdp()->getPort()); }
  PeerStream* make() { return clear ? new ClearStream(&router, this) : new PeerStream(&router, this); }

  void handle_connect() override {
    connected = Clock::now();
    handle_send();
  }
  void handle_send() override {
    while (stream) {
      if (!frame.hasRemaining()) {
        if (done == total) {
          stream->close(false);
          return;
        }
        const int64_t n = std::min<int64_t>(kFrame, total - done);
        frame.position(0);
        frame.limit(static_cast<int32_t>(n));
        done += n;
      }
      stream->send(&frame);
      if (frame.hasRemaining()) return;
    }
  }
  void handle_recv(ByteBuffer* b) override {
    done += b->remaining();
    b->position(b->limit());
    if (done == total) finished = Clock::now();
  }
  void handle_close(const std::string& why) override {
    reason = why;
    if (sender) finished = Clock::now();
    stream.reset();
  }
  bool handleRouter(Message* m, const SocketAddress& from) override {
    if (sender || m->getOpcode() != Message::connect || stream) return false;
    stream.reset(make());
    stream->accept(static_cast<Connect*>(m), from);
    return true;
  }
  void handleTimer() override {
    const bool over = sender ? !stream && reason != "(open)" : done == total;
    if (over || Clock::now() > deadline) loop.stop();
  }
  void start(int seconds) {
    deadline = Clock::now() + std::chrono::seconds(seconds);
    watch.start(10, 10, this);
  }
};

struct Result {
  double setup;    // connect to connected: the key agreement's share
  double seconds;  // connected to the last byte received
  double cpu;
  int64_t received;
  std::string reason;
};

Result transfer(int64_t total, bool clear, const SocketAddress* relay, int seconds) {
  End source;
  End sink;
  source.sender = true;
  source.total = sink.total = total;
  source.clear = sink.clear = clear;
  SocketAddress to = sink.address();
  if (relay) {
    to.setProxy(relay->getSockaddr());
    source.router.addRelay(*relay);
    sink.router.addRelay(*relay);
  }
  sink.start(seconds);
  source.start(seconds);
  std::atomic<bool> running{false};
  std::thread sinkThread([&] {
    running = true;
    sink.loop.run();
  });
  while (!running) std::this_thread::yield();
  const double cpu0 = cpuSeconds();
  const Clock::time_point start = Clock::now();
  source.stream.reset(source.make());
  source.stream->connect(to);
  source.loop.run();
  sinkThread.join();
  const Clock::time_point end = sink.done == total ? sink.finished : Clock::now();
  const auto secondsOf = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  return {secondsOf(source.connected - start), secondsOf(end - source.connected), cpuSeconds() - cpu0, sink.done,
          source.reason};
}

// Starts the relay and reads the address it prints; null when it cannot be started.
struct Relay {
  pid_t pid = -1;
  std::unique_ptr<SocketAddress> address;
  Relay(const std::string& path, double loss, int delayMs) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string lossText = std::to_string(loss);
    const std::string delayText = std::to_string(delayMs);
    const char* argv[] = {path.c_str(), "--seed",          "1",    "--loss", lossText.c_str(),
                          "--delay",    delayText.c_str(), nullptr};
    const int status = posix_spawn(&pid, path.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (status != 0) {
      pid = -1;
      close(out[0]);
      return;
    }
    char line[256] = {};
    size_t used = 0;
    while (used + 1 < sizeof line && read(out[0], line + used, 1) == 1 && line[used] != '\n') ++used;
    close(out[0]);
    char ip[64] = {};
    int port = 0;
    if (std::sscanf(line, "udp-chaos relaying on %63[0-9.]:%d", ip, &port) == 2)
      address.reset(new SocketAddress(ip, port));
  }
  ~Relay() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

std::string defaultChaosPath() {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "udp-chaos";
  std::string dir(self, static_cast<size_t>(n));
  dir.resize(dir.rfind('/'));
  return dir + "/../tests/tools/udp-chaos/udp-chaos";
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = 256;
  int64_t chaosMib = 32;
  std::string chaosPath = defaultChaosPath();
  bool chaos = true;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (flag == "--mib")
      mib = std::atoll(value), ++i;
    else if (flag == "--chaos-mib")
      chaosMib = std::atoll(value), ++i;
    else if (flag == "--chaos")
      chaosPath = value, ++i;
    else if (flag == "--no-chaos")
      chaos = false;
    else {
      std::fprintf(stderr, "usage: stream_bench [--mib N] [--chaos-mib N] [--chaos PATH | --no-chaos]\n");
      return 2;
    }
  }
  try {
    for (bool clear : {false, true}) {
      const Result r = transfer(mib << 20, clear, nullptr, 120);
      std::printf("loopback %-10s %4lld MiB: %7.1f MB/s  %5.2f s  cpu %5.2f s  setup %5.3f s  (close \"%s\")\n",
                  clear ? "clear" : "encrypted", static_cast<long long>(mib),
                  static_cast<double>(r.received) / r.seconds / 1e6, r.seconds, r.cpu, r.setup, r.reason.c_str());
    }
    if (!chaos) return 0;
    for (double loss : {0.0, 0.01, 0.05}) {
      Relay relay(chaosPath, loss, 25);
      if (!relay.address) {
        std::fprintf(stderr, "stream_bench: cannot start %s\n", chaosPath.c_str());
        return 1;
      }
      const Result r = transfer(chaosMib << 20, false, relay.address.get(), 600);
      const double rate = static_cast<double>(r.received) / r.seconds / 1e6;
      std::printf(
          "relay 25 ms each way, loss %4.1f%%, %lld MiB: %6.2f MB/s = %5.1f%% of %.2f MB/s  %6.1f s  "
          "cpu %5.2f s  (close \"%s\")\n",
          loss * 100, static_cast<long long>(chaosMib), rate, 100 * rate / kBound, kBound, r.seconds, r.cpu,
          r.reason.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stream_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
