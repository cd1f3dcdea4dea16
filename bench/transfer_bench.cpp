// Files between two engines in two processes (engine-peer), encrypted, against the stand-in
// server on loopback, beside the stream alone and beside scp in the same run:
//  1. one big file (1 GiB by default): MB/s, against stream_bench's encrypted loopback figure
//     and against scp (chacha20-poly1305 through a private sshd);
//  2. 10,000 files of 1 KiB in 100 folders: files per second, against scp -r;
//  3. resume of the big file with 90 % of it held: the bytes each process read (rchar of
//     /proc/PID/io), which should be the held prefix once on each side (plus the rest to send);
//  4. through udp-chaos with 25 ms each way (the stand-in names it as the only relay): a 64 MiB
//     file against stream_bench's own figure at that delay.
// Data lives in /dev/shm, so disks do not set the pace (a flush costs nothing there); --dir puts
// it on a disk instead, to see what the flushes of each received file cost. Build Release.
//
//   transfer_bench [--mib N] [--files N] [--chaos-mib N] [--no-scp] [--no-chaos] [--dir DIR]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "PrivateSshd.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"

using namespace enginetest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

const Account alice{"alice@example.com", "alice-pw"};
const Account bob{"bob@example.com", "bob-pw"};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long long rchar(pid_t pid) {
  std::smatch m;
  const std::string io = testsupport::readFile("/proc/" + std::to_string(pid) + "/io");
  return std::regex_search(io, m, std::regex("rchar: (\\d+)")) ? std::stoll(m[1]) : -1;
}

// The whole standard output of a program.
std::string output(const std::vector<std::string>& args) {
  std::string command;
  for (const std::string& a : args) command += "'" + a + "' ";
  FILE* pipe = popen((command + "2>/dev/null").c_str(), "r");
  if (!pipe) return "";
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  pclose(pipe);
  return text;
}

// The median of a "min / median / max" line of stream_bench, or -1.
double medianOf(const std::string& text, const std::string& label) {
  std::smatch m;
  const std::regex line(label + "\\s+[0-9.]+ / ([0-9.]+) / [0-9.]+");
  return std::regex_search(text, m, line) ? std::stod(m[1]) : -1;
}

// Two logged-in engines on one stand-in; the server may send them through an outside relay.
std::string madeFolder(const std::string& dir) {
  fs::create_directories(dir);
  return dir;
}

struct Pair {
  explicit Pair(const std::string& dir, const std::vector<std::string>& serverArgs = {})
      : server(madeFolder(dir) + "/server", serverArgs) {
    addAccount(server, alice);
    addAccount(server, bob);
    senderHome = std::make_unique<EngineHome>(server, alice, dir + "/alice");
    receiverHome = std::make_unique<EngineHome>(server, bob, dir + "/bob");
    sender = std::make_unique<EngineProcess>(*senderHome);
    receiver = std::make_unique<EngineProcess>(*receiverHome);
    sender->waitLoggedIn();
    receiver->waitLoggedIn();
  }

  // The receiver's own figure for the data of a file, from its first byte to its rename.
  double dataRate(const std::string& name) const {
    std::smatch m;
    const std::string log = receiver->log();
    return std::regex_search(log, m, std::regex("received \\S*" + name + " \\d+ bytes ([0-9.]+) MB/s")) ? std::stod(m[1])
                                                                                                     : -1;
  }

  std::string offer(const std::string& path) {
    sender->command({{"op", "send"}, {"id", ++id}, {"to", bob.user}, {"files", {path}}});
    auto created = sender->waitFor("TICKET_CREATE", id);
    if (!created || (*created)["code"] == "") throw std::runtime_error("no ticket");
    return (*created)["code"];
  }

  // Seconds from the offered paths' arrival to the end of the receive (the exchange excluded).
  double receive(const std::string& code, int timeoutMs = 600000) {
    receiver->command({{"op", "recv"}, {"id", ++id}, {"code", code}});
    auto exchanged = receiver->waitFor("TICKET_GET", id, 60000);
    if (!exchanged) throw std::runtime_error("no ticket exchange");
    if ((*exchanged)["reason"] != "") throw std::runtime_error("ticket exchange failed: " + exchanged->dump());
    const auto start = Clock::now();
    if (!receiver->waitLog("ticket " + code + ": every path received", timeoutMs))
      throw std::runtime_error("receive did not end: " + code);
    return secondsSince(start);
  }

  servertest::ServerProcess server;
  std::unique_ptr<EngineHome> senderHome, receiverHome;
  std::unique_ptr<EngineProcess> sender, receiver;
  int id = 0;
};

// udp-chaos as a child process with a fixed delay; stopped on destruction.
struct Chaos {
  explicit Chaos(int port, int delayMs) {
    const std::string p = std::to_string(port), d = std::to_string(delayMs);
    // Senders are named as the stand-in's --relay-via introduces them.
    std::vector<char*> argv = {const_cast<char*>(UDP_CHAOS_PATH), const_cast<char*>("--port"),
                               const_cast<char*>(p.c_str()), const_cast<char*>("--delay"),
                               const_cast<char*>(d.c_str()), const_cast<char*>("--sender-alias"),
                               const_cast<char*>("127.0.0.9"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ~Chaos() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;
};

}  // namespace

int run(int argc, char** argv) {
  long long mib = 1024, files = 10000, chaosMib = 64;
  bool withScp = true, withChaos = true;
  std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mib" && i + 1 < argc) mib = std::atoll(argv[++i]);
    else if (a == "--files" && i + 1 < argc) files = std::atoll(argv[++i]);
    else if (a == "--chaos-mib" && i + 1 < argc) chaosMib = std::atoll(argv[++i]);
    else if (a == "--no-scp") withScp = false;
    else if (a == "--no-chaos") withChaos = false;
    else if (a == "--dir" && i + 1 < argc) base = argv[++i];
    else return std::fprintf(stderr, "usage: transfer_bench [--mib N] [--files N] [--chaos-mib N] [--no-scp] [--no-chaos] [--dir DIR]\n"), 2;
  }
  const std::string dir = base + "/mirel-transfer-bench-" + std::to_string(getpid());
  fs::create_directories(dir);
  struct Cleanup {
    std::string dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};
  const std::string streamBench = fs::path(argv[0]).parent_path() / "stream_bench";
  std::unique_ptr<benchsupport::PrivateSshd> sshd;
  if (withScp) {
    sshd = std::make_unique<benchsupport::PrivateSshd>();
    if (!sshd->ok()) std::printf("scp comparison skipped: %s\n", sshd->why().c_str());
  }
  const bool scp = sshd && sshd->ok();

  // 1. One big file.
  const std::string big = dir + "/src/big.bin";
  trees::writeRandom(big, static_cast<uint64_t>(mib) << 20, 42);
  const double megabytes = static_cast<double>(mib << 20) / 1e6;
  const std::string streamText = output({streamBench, "--mib", std::to_string(std::min(mib, 512LL)), "--rounds",
                                         "3", "--no-scp", "--no-chaos"});
  const double streamRate = medianOf(streamText, "encrypted MB/s");
  double transferRate = 0;
  {
    Pair pair(dir + "/loopback");
    const double seconds = pair.receive(pair.offer(big));
    transferRate = megabytes / seconds;
    std::printf("%lld MiB file: %.2f s from the offered paths, %.1f MB/s (data alone %.1f MB/s); the stream alone "
                "%.1f MB/s (ratio %.2f)",
                mib, seconds, transferRate, pair.dataRate("big.bin"), streamRate,
                streamRate > 0 ? transferRate / streamRate : 0.0);
    if (scp) {
      const double scpSeconds = sshd->copy(big, dir + "/scp-big.bin");
      std::printf("; scp %.1f MB/s (ratio %.2f)", megabytes / scpSeconds, transferRate / (megabytes / scpSeconds));
      fs::remove(dir + "/scp-big.bin");
    }
    std::printf("\n");
    const bool same = trees::sha256OfFile(big) == trees::sha256OfFile(pair.receiverHome->recv + "/big.bin");
    if (!same) std::printf("  RECEIVED FILE DIFFERS\n");

    // 3. Resume with 90 % held: the held prefix is read once on each side.
    const long long held = (mib << 20) / 10 * 9;
    const std::string received = pair.receiverHome->recv + "/big.bin";
    fs::rename(received, pair.receiverHome->recv + "/.tmp.big.bin");
    fs::resize_file(pair.receiverHome->recv + "/.tmp.big.bin", static_cast<uintmax_t>(held));
    const long long senderBefore = rchar(pair.sender->processId());
    const long long receiverBefore = rchar(pair.receiver->processId());
    const double resumeSeconds = pair.receive(pair.offer(big));
    const long long senderRead = rchar(pair.sender->processId()) - senderBefore;
    const long long receiverRead = rchar(pair.receiver->processId()) - receiverBefore;
    std::printf("resume with %lld MiB of %lld held: %.2f s; read by the sender %.1f MiB (file %lld MiB), by the "
                "receiver %.1f MiB (held %lld MiB)\n",
                held >> 20, mib, resumeSeconds, senderRead / 1048576.0, mib, receiverRead / 1048576.0, held >> 20);
  }
  fs::remove(big);

  // 2. Many small files.
  {
    const std::string tree = dir + "/src/many";
    for (long long i = 0; i < files; ++i)
      trees::writeRandom(tree + "/d" + std::to_string(i % 100) + "/f" + std::to_string(i), 1024,
                         static_cast<uint64_t>(i));
    Pair pair(dir + "/many");
    const double seconds = pair.receive(pair.offer(tree));
    std::printf("%lld files of 1 KiB in 100 folders: %.2f s, %.0f files/s", files, seconds, files / seconds);
    if (scp) {
      const double scpSeconds = sshd->copy(tree, dir + "/scp-many", true);
      if (scpSeconds > 0) std::printf("; scp -r %.0f files/s", files / scpSeconds);
    }
    std::printf("\n");
    if (trees::digest(tree) != trees::digest(pair.receiverHome->recv + "/many")) std::printf("  TREES DIFFER\n");
  }

  // 4. Through a relay that delays 25 ms each way.
  if (withChaos) {
    const std::string chaosText = output({streamBench, "--mib", "0", "--chaos-mib", std::to_string(chaosMib),
                                          "--loss-mib", "0"});
    std::smatch m;
    const double streamChaos = std::regex_search(chaosText, m, std::regex("loss\\s+0\\.0%, \\d+ MiB:\\s+([0-9.]+) MB/s"))
                                   ? std::stod(m[1])
                                   : -1;
    const int relayPort = servertest::randomFreePort();
    Chaos chaos(relayPort, 25);
    const std::string file = dir + "/src/chaos.bin";
    trees::writeRandom(file, static_cast<uint64_t>(chaosMib) << 20, 9);
    Pair pair(dir + "/chaos", {"--relay-via", "127.0.0.1:" + std::to_string(relayPort)});
    const double seconds = pair.receive(pair.offer(file));
    const double rate = static_cast<double>(chaosMib << 20) / 1e6 / seconds;
    const double data = pair.dataRate("chaos.bin");
    std::printf("%lld MiB through a relay with a 50 ms round trip: %.2f s from the offered paths (a punch through "
                "the relay included), %.1f MB/s; data alone %.1f MB/s; the stream alone %.1f MB/s (data ratio %.2f)\n",
                chaosMib, seconds, rate, data, streamChaos, streamChaos > 0 ? data / streamChaos : 0.0);
  }
  return 0;
}

int main(int argc, char** argv) {
  // Everything started (sshd, server, engines) is stopped by destructors, also on a failure.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transfer_bench: %s\n", e.what());
    return 1;
  }
}
