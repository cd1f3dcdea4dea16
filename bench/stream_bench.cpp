// Throughput of one peer stream, each end on its own loop and thread:
//  1. on 127.0.0.1, encrypted and in the clear, paired round by round with scp (cipher
//     chacha20-poly1305, through a private sshd on 127.0.0.1) copying a file of the same size
//     between two files in /dev/shm: the ratio to scp is what to read, the machine may be busy;
//     medians over the rounds, with the CPU seconds both ends used;
//  2. through the udp-chaos relay with 25 ms each way (50 ms round trip) at 0 %, 1 % and 5 %
//     loss: MB/s against the bound the receiver's advertised pool sets (pool x 1415 bytes per
//     round trip), the datagrams the relay forwarded per MB carried, and how much the process
//     grew while the lossless transfer ran (both ends).
// Build Release before reading anything into the figures.
//
//   stream_bench [--mib N] [--rounds N] [--no-scp] [--no-clear] [--chaos-mib N] [--loss-mib N]
//                [--chaos PATH | --no-chaos]
//
// PATH defaults to the udp-chaos program of the same build folder; --mib 0 skips the loopback;
// --no-clear leaves only encrypted runs on the loopback, for a profile of the cipher's share.

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PrivateSshd.h"
#include "p2p/messages/Connect.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/uv/UvTimer.h"

using namespace p2p;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrame = 61440;  // what the peer connection hands the stream at a time
constexpr double kRoundTrip = 0.050;

struct ClearStream : PeerStream {
  ClearStream(UdpRouter* router, Cb* cb) : PeerStream(router, cb) { encrypt = false; }
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Resident memory of the process, KiB.
long residentKib() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) break;
  std::fclose(status);
  return kib;
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
  int32_t advertisedPool = 0;  // the opening side's receive pool, as its connect told it
  long peakKib = 0;
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
    advertisedPool = static_cast<Connect*>(m)->sendPoolSize;
    stream.reset(make());
    stream->accept(static_cast<Connect*>(m), from);
    return true;
  }
  void handleTimer() override {
    peakKib = std::max(peakKib, residentKib());
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
  int32_t pool;    // what the opening side advertised
  long growthKib;  // the process's resident memory at its highest during the transfer, less before
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
  const long kib0 = residentKib();
  const double cpu0 = cpuSeconds();
  const Clock::time_point start = Clock::now();
  source.stream.reset(source.make());
  source.stream->connect(to);
  source.loop.run();
  sinkThread.join();
  const Clock::time_point end = sink.done == total ? sink.finished : Clock::now();
  const auto secondsOf = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  return {secondsOf(source.connected - start),
          secondsOf(end - source.connected),
          cpuSeconds() - cpu0,
          sink.done,
          source.reason,
          sink.advertisedPool,
          std::max(source.peakKib, sink.peakKib) - kib0};
}

// Starts the relay and reads the address it prints; null when it cannot be started. Stopping
// it makes it print what it did, and the count of datagrams it forwarded is read from there.
struct Relay {
  pid_t pid = -1;
  int output = -1;
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
    output = out[0];
    if (status != 0) {
      pid = -1;
      return;
    }
    char ip[64] = {};
    int port = 0;
    if (std::sscanf(readLine().c_str(), "udp-chaos relaying on %63[0-9.]:%d", ip, &port) == 2)
      address.reset(new SocketAddress(ip, port));
  }
  ~Relay() {
    stop();
    if (output >= 0) close(output);
  }
  // Stops the relay; the datagrams it forwarded, or -1.
  long long stop() {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    const std::string line = readLine();
    waitpid(pid, nullptr, 0);
    pid = -1;
    unsigned long long received = 0;
    unsigned long long forwarded = 0;
    if (std::sscanf(line.c_str(), "received %llu forwarded %llu", &received, &forwarded) != 2) return -1;
    return static_cast<long long>(forwarded);
  }
  std::string readLine() {
    std::string line;
    char c = 0;
    while (line.size() < 256 && read(output, &c, 1) == 1 && c != '\n') line += c;
    return line;
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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "min / median / max" of the values.
std::string spread(std::vector<double> values, int decimals) {
  if (values.empty()) return "-";
  std::sort(values.begin(), values.end());
  char text[128];
  std::snprintf(text, sizeof text, "%.*f / %.*f / %.*f", decimals, values.front(), decimals, median(values),
                decimals, values.back());
  return text;
}

// A file of `bytes` pseudo-random bytes for scp to copy; empty when it cannot be written.
std::string makeScpSource(int64_t bytes) {
  const std::string path = "/dev/shm/mirel-stream-bench-" + std::to_string(getpid());
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return std::string();
  std::vector<char> block(1 << 20);
  uint64_t x = 88172645463325252ull;
  for (char& c : block) x ^= x << 13, x ^= x >> 7, x ^= x << 17, c = static_cast<char>(x);
  bool ok = true;
  for (int64_t left = bytes; left > 0 && ok; left -= static_cast<int64_t>(block.size())) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(block.size())));
    ok = std::fwrite(block.data(), 1, n, file) == n;
  }
  ok = std::fclose(file) == 0 && ok;
  if (!ok) std::remove(path.c_str());
  return ok ? path : std::string();
}

// Each round: the stream encrypted and in the clear, then scp with the same number of bytes.
void loopbackRounds(int64_t mib, int rounds, bool scp, bool withClear) {
  std::unique_ptr<benchsupport::PrivateSshd> sshd;
  std::string source;
  if (scp) {
    sshd.reset(new benchsupport::PrivateSshd());
    if (!sshd->ok()) {
      std::printf("scp comparison skipped: %s\n", sshd->why().c_str());
    } else if ((source = makeScpSource(mib << 20)).empty()) {
      std::printf("scp comparison skipped: cannot write the source file in /dev/shm\n");
    }
  }
  const std::string target = source + ".copy";
  std::vector<double> encrypted, clear, scpRate, ratio, cpuPerGib;
  for (int round = 1; round <= rounds; ++round) {
    const Result e = transfer(mib << 20, false, nullptr, 120);
    encrypted.push_back(static_cast<double>(e.received) / e.seconds / 1e6);
    cpuPerGib.push_back(e.cpu * 1024 / static_cast<double>(mib));
    std::printf("round %d: encrypted %7.1f MB/s (cpu %5.2f s, close \"%s\")", round, encrypted.back(), e.cpu,
                e.reason.c_str());
    if (withClear) {
      const Result c = transfer(mib << 20, true, nullptr, 120);
      clear.push_back(static_cast<double>(c.received) / c.seconds / 1e6);
      std::printf("  clear %7.1f MB/s", clear.back());
    }
    if (!source.empty()) {
      const double seconds = sshd->copy(source, target);
      if (seconds > 0) {
        scpRate.push_back(static_cast<double>(mib << 20) / seconds / 1e6);
        ratio.push_back(encrypted.back() / scpRate.back());
        std::printf("  scp %7.1f MB/s  ratio %.2f", scpRate.back(), ratio.back());
      } else {
        std::printf("  scp failed");
      }
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  std::printf("loopback %lld MiB, %d rounds, min / median / max:\n", static_cast<long long>(mib), rounds);
  std::printf("  encrypted MB/s        %s\n", spread(encrypted, 1).c_str());
  if (withClear) std::printf("  clear MB/s            %s\n", spread(clear, 1).c_str());
  std::printf("  encrypted cpu s/GiB   %s (both ends)\n", spread(cpuPerGib, 2).c_str());
  if (!source.empty()) {
    std::printf("  scp MB/s              %s (%s)\n", spread(scpRate, 1).c_str(), benchsupport::PrivateSshd::Cipher);
    std::printf("  encrypted / scp       %s\n", spread(ratio, 2).c_str());
    std::remove(source.c_str());
    std::remove(target.c_str());
  }
}

// The lossless run fills the window, so its memory growth is what a busy stream pair costs.
void relayRuns(const std::string& chaosPath, int64_t chaosMib, int64_t lossMib) {
  for (double loss : {0.0, 0.01, 0.05}) {
    if ((loss == 0 ? chaosMib : lossMib) <= 0) continue;  // 0 MiB: that run is not wanted
    Relay relay(chaosPath, loss, 25);
    if (!relay.address) throw std::runtime_error("cannot start " + chaosPath);
    const int64_t mib = loss == 0 ? chaosMib : lossMib;
    const Result r = transfer(mib << 20, false, relay.address.get(), 600);
    const long long forwarded = relay.stop();
    const double rate = static_cast<double>(r.received) / r.seconds / 1e6;
    const double bound = r.pool * 1415.0 / kRoundTrip / 1e6;
    std::printf(
        "relay 25 ms each way, loss %4.1f%%, %lld MiB: %6.2f MB/s = %5.1f%% of %.2f MB/s (pool %d)  %6.1f s  "
        "cpu %5.2f s  %.0f datagrams/MB  memory +%ld KiB  (close \"%s\")\n",
        loss * 100, static_cast<long long>(mib), rate, 100 * rate / bound, bound, r.pool, r.seconds, r.cpu,
        static_cast<double>(forwarded) * 1e6 / static_cast<double>(r.received), r.growthKib, r.reason.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = 256;
  int rounds = 5;
  bool scp = true;
  bool withClear = true;
  int64_t chaosMib = 32;
  int64_t lossMib = 8;
  std::string chaosPath = defaultChaosPath();
  bool chaos = true;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (flag == "--mib") {
      mib = std::atoll(value), ++i;
    } else if (flag == "--rounds") {
      rounds = std::max(1, std::atoi(value)), ++i;
    } else if (flag == "--no-scp") {
      scp = false;
    } else if (flag == "--no-clear") {
      withClear = false;
    } else if (flag == "--chaos-mib") {
      chaosMib = std::atoll(value), ++i;
    } else if (flag == "--loss-mib") {
      lossMib = std::atoll(value), ++i;
    } else if (flag == "--chaos") {
      chaosPath = value, ++i;
    } else if (flag == "--no-chaos") {
      chaos = false;
    } else {
      std::fprintf(stderr,
                   "usage: stream_bench [--mib N] [--rounds N] [--no-scp] [--no-clear] [--chaos-mib N]\n"
                   "                    [--loss-mib N] [--chaos PATH | --no-chaos]\n");
      return 2;
    }
  }
  try {
    if (mib > 0) loopbackRounds(mib, rounds, scp, withClear);
    if (chaos) relayRuns(chaosPath, chaosMib, lossMib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stream_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
