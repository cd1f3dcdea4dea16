// Files between two engines in two processes (engine-peer), encrypted, against the stand-in
// server on loopback, beside the stream alone, scp and magic-wormhole in the same run:
//  1. one big file (1 GiB by default): MB/s, against stream_bench's encrypted loopback figure
//     and against scp (chacha20-poly1305 through a private sshd);
//  2. resume of the big file with 90 % of it held: the bytes each process read (rchar of
//     /proc/PID/io), which should be the held prefix once on each side (plus the rest to send);
//  3. the big file as a user meets it: the console programs (mainMirel offering it, then a second
//     mainMirel receiving with -r -c CODE), from the receiver program's start to its "every path
//     received" line, beside the whole time of scp and of magic-wormhole; the receiver's own
//     "received ... MB/s" beside the stream alone;
//  4. 10,000 files of 1 KiB in 100 folders: files per second, against scp -r and magic-wormhole;
//  5. time to the first byte of a 1 KiB file on loopback: from the recv command to the first
//     SEND_RECV event with an offset above 0 (the file is new, so that is its data written), and
//     where the time goes, from the receiver's log file;
//  6. through udp-chaos with 25 ms each way (the stand-in names it as the only relay): a 64 MiB
//     file against stream_bench's own figure at that delay;
//  7. on that path, 1,000 files of 1 KiB beside one file of 1 KiB, from the recv command; and
//     magic-wormhole beside them through a TCP delay line of 25 ms each way in front of its
//     transit relay (its only path: neither side listens), as udp-chaos cannot carry TCP.
// Data lives in /dev/shm, so disks do not set the pace (a flush costs nothing there); --dir puts
// it on a disk instead, to see what the flushes of each received file cost. Build Release.
// magic-wormhole is not installed here (apt-get install magic-wormhole
// python3-magic-wormhole-mailbox-server magic-wormhole-transit-relay); without it one line says
// it was skipped.
//
//   transfer_bench [--help] [--mib N] [--files N] [--chaos-mib N] [--delay-files N]
//                  [--first-byte-rounds N] [--no-scp] [--no-console] [--no-first-byte]
//                  [--no-chaos] [--no-delay-files] [--no-wormhole] [--dir DIR]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "DelayedTcpProxy.h"
#include "PrivateSshd.h"
#include "TransferRig.h"
#include "WormholeRig.h"
#include "support/ChildProcess.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"

using namespace enginetest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

using namespace transferbench;

namespace {

// ---- magic-wormhole ----

// "magic-wormhole ..." for a line of figures, or why there are none. `format` takes the
// receiver's whole seconds as its first argument and `units` per second as its second.
std::string wormholeCell(const benchsupport::WormholeRig::Transfer& t, const char* format, double units) {
  if (t.receiverSeconds < 0) return "magic-wormhole failed: " + t.failure.substr(0, 300);
  char cell[256];
  std::snprintf(cell, sizeof cell, format, t.receiverSeconds, units / t.receiverSeconds);
  return cell;
}

struct Options {
  long long mib = 1024, files = 10000, chaosMib = 64, delayFiles = 1000;
  int firstByteRounds = 5;
  bool scp = true, console = true, firstByte = true, chaos = true, delayedFiles = true, wormhole = true;
  std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
};

const char* const Usage =
    "usage: transfer_bench [--help] [--mib N] [--files N] [--chaos-mib N] [--delay-files N]\n"
    "                      [--first-byte-rounds N] [--no-scp] [--no-console] [--no-first-byte]\n"
    "                      [--no-chaos] [--no-delay-files] [--no-wormhole] [--dir DIR]\n"
    "1 GiB file and its resume (--mib), whole through two mainMirel programs (--no-console), 10,000\n"
    "files of 1 KiB (--files), time to the first byte (--first-byte-rounds, --no-first-byte); through\n"
    "udp-chaos at 25 ms each way: 64 MiB (--chaos-mib, --no-chaos), 1,000 files of 1 KiB beside one\n"
    "(--delay-files, --no-delay-files); beside scp (--no-scp) and magic-wormhole (--no-wormhole).\n";

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool valued = i + 1 < argc;
    if (a == "--mib" && valued) o.mib = std::atoll(argv[++i]);
    else if (a == "--files" && valued) o.files = std::atoll(argv[++i]);
    else if (a == "--chaos-mib" && valued) o.chaosMib = std::atoll(argv[++i]);
    else if (a == "--delay-files" && valued) o.delayFiles = std::max(1LL, std::atoll(argv[++i]));
    else if (a == "--first-byte-rounds" && valued) o.firstByteRounds = std::max(1, std::atoi(argv[++i]));
    else if (a == "--no-scp") o.scp = false;
    else if (a == "--no-console") o.console = false;
    else if (a == "--no-first-byte") o.firstByte = false;
    else if (a == "--no-chaos") o.chaos = false;
    else if (a == "--no-delay-files") o.delayedFiles = false;
    else if (a == "--no-wormhole") o.wormhole = false;
    else if (a == "--dir" && valued) o.base = argv[++i];
    else return false;
  }
  return true;
}

}  // namespace

int run(int argc, char** argv) {
  Options o;
  if (argc == 2 && std::string(argv[1]) == "--help") return std::fputs(Usage, stdout), 0;
  if (!parse(argc, argv, o)) return std::fputs(Usage, stderr), 2;
  const std::string dir = o.base + "/mirel-transfer-bench-" + std::to_string(getpid());
  fs::create_directories(dir);
  struct Cleanup {
    std::string dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};
  const std::string streamBench = fs::path(argv[0]).parent_path() / "stream_bench";
  std::unique_ptr<benchsupport::PrivateSshd> sshd;
  if (o.scp) {
    sshd = std::make_unique<benchsupport::PrivateSshd>();
    if (!sshd->ok()) std::printf("scp comparison skipped: %s\n", sshd->why().c_str());
  }
  const bool scp = sshd && sshd->ok();
  std::unique_ptr<benchsupport::WormholeRig> wormholeRig;
  if (o.wormhole) {
    wormholeRig = std::make_unique<benchsupport::WormholeRig>(dir + "/wormhole");
    if (!wormholeRig->ok()) std::printf("magic-wormhole comparison skipped: %s\n", wormholeRig->why().c_str());
  }
  const benchsupport::WormholeRig* wormhole = wormholeRig && wormholeRig->ok() ? wormholeRig.get() : nullptr;

  // 1. One big file.
  const std::string big = dir + "/src/big.bin";
  trees::writeRandom(big, static_cast<uint64_t>(o.mib) << 20, 42);
  const std::string bigDigest = trees::sha256OfFile(big);
  const double megabytes = static_cast<double>(o.mib << 20) / 1e6;
  const std::string streamText = output({streamBench, "--mib", std::to_string(std::min(o.mib, 512LL)), "--rounds",
                                         "3", "--no-scp", "--no-chaos"});
  const double streamRate = medianOf(streamText, "encrypted MB/s");
  double scpSeconds = -1;
  {
    Pair pair(dir + "/loopback");
    const double seconds = pair.receive(pair.offer(big)).afterExchange;
    const double transferRate = megabytes / seconds;
    std::printf("%lld MiB file: %.2f s from the offered paths, %.1f MB/s (data alone %.1f MB/s); the stream alone "
                "%.1f MB/s (ratio %.2f)",
                o.mib, seconds, transferRate, pair.dataRate("big.bin"), streamRate,
                streamRate > 0 ? transferRate / streamRate : 0.0);
    if (scp) {
      scpSeconds = sshd->copy(big, dir + "/scp-big.bin");
      std::printf("; scp %.1f MB/s (ratio %.2f)", megabytes / scpSeconds, transferRate / (megabytes / scpSeconds));
      fs::remove(dir + "/scp-big.bin");
    }
    std::printf("\n");
    if (trees::sha256OfFile(pair.receiverHome->recv + "/big.bin") != bigDigest) std::printf("  RECEIVED FILE DIFFERS\n");

    // 2. Resume with 90 % held: the held prefix is read once on each side.
    const long long held = (o.mib << 20) / 10 * 9;
    const std::string received = pair.receiverHome->recv + "/big.bin";
    fs::rename(received, pair.receiverHome->recv + "/.tmp.big.bin");
    fs::resize_file(pair.receiverHome->recv + "/.tmp.big.bin", static_cast<uintmax_t>(held));
    const long long senderBefore = rchar(pair.sender->processId());
    const long long receiverBefore = rchar(pair.receiver->processId());
    const double resumeSeconds = pair.receive(pair.offer(big)).afterExchange;
    const long long senderRead = rchar(pair.sender->processId()) - senderBefore;
    const long long receiverRead = rchar(pair.receiver->processId()) - receiverBefore;
    std::printf("resume with %lld MiB of %lld held: %.2f s; read by the sender %.1f MiB (file %lld MiB), by the "
                "receiver %.1f MiB (held %lld MiB)\n",
                held >> 20, o.mib, resumeSeconds, senderRead / 1048576.0, o.mib, receiverRead / 1048576.0,
                held >> 20);
  }
  fs::remove_all(dir + "/loopback");

  // 3. The big file whole, as a user meets it.
  if (o.console || scp || wormhole) {
    std::vector<std::string> cells;
    char cell[256];
    ConsoleReceive console;
    if (o.console) {
      console = consoleReceive(dir + "/console", big, bigDigest);
      fs::remove_all(dir + "/console");
      // The console issues the receive on its tick a second after it starts.
      std::snprintf(cell, sizeof cell, "mainMirel %.2f (less its first second %.2f)", console.whole, console.whole - 1);
      cells.push_back(cell);
    }
    if (scp) {
      std::snprintf(cell, sizeof cell, "scp %.2f", scpSeconds);
      cells.push_back(cell);
    }
    if (wormhole) {
      const auto t = wormhole->transfer(big, dir + "/wormhole-big", "1-big");
      cells.push_back(wormholeCell(t, "magic-wormhole %1$.2f (%2$.0f MB/s)", megabytes));
      if (t.receiverSeconds >= 0 && fs::file_size(dir + "/wormhole-big/big.bin") != fs::file_size(big))
        cells.back() += " (ITS FILE IS INCOMPLETE)";
      fs::remove_all(dir + "/wormhole-big");
    }
    if (o.console && scp) {
      std::snprintf(cell, sizeof cell, "mainMirel less its first second / scp %.2f (aim: at most 1)",
                    (console.whole - 1) / scpSeconds);
      cells.push_back(cell);
    }
    std::string line;
    for (const std::string& c : cells) line += (line.empty() ? " " : " | ") + c;
    std::printf("%lld MiB file on loopback, whole time from the receiver program's start to its end, s:%s\n", o.mib,
                line.c_str());
    if (o.console) {
      std::printf("  data phase, MB/s: mainMirel's \"received\" line %.1f | the stream alone (stream_bench, "
                  "encrypted) %.1f | ratio %.2f (aim: at least 0.8)\n",
                  console.rate, streamRate, streamRate > 0 ? console.rate / streamRate : 0.0);
      if (!console.same) std::printf("  THE CONSOLE'S RECEIVED FILE DIFFERS\n");
    }
  }
  fs::remove(big);

  // 4. Many small files.
  {
    const std::string tree = dir + "/src/many";
    writeSmallFiles(tree, o.files, 100, 0);
    Pair pair(dir + "/many");
    const Received r = pair.receive(pair.offer(tree));
    std::printf("%lld files of 1 KiB in 100 folders, files/s (s): from the offered paths %.0f (%.2f) | from the recv "
                "command %.0f (%.2f)",
                o.files, o.files / r.afterExchange, r.afterExchange, o.files / r.whole, r.whole);
    if (scp) {
      const double scpSeconds = sshd->copy(tree, dir + "/scp-many", true);
      if (scpSeconds > 0) std::printf(" | scp -r %.0f (%.2f)", o.files / scpSeconds, scpSeconds);
    }
    benchsupport::WormholeRig::Transfer t;
    if (wormhole) {
      t = wormhole->transfer(tree, dir + "/wormhole-many", "2-many");
      std::printf(" | %s", wormholeCell(t, "magic-wormhole %2$.0f (%1$.2f) from its receiver's start", o.files).c_str());
    }
    std::printf("\n");
    if (trees::digest(tree) != trees::digest(pair.receiverHome->recv + "/many")) std::printf("  TREES DIFFER\n");
    if (wormhole && t.receiverSeconds >= 0) {
      std::printf("  magic-wormhole's sender zipped the folder for %.2f s before it gave its code\n", t.senderSeconds);
      if (trees::digest(tree) != trees::digest(dir + "/wormhole-many/many")) std::printf("  ITS TREES DIFFER\n");
    }
  }
  fs::remove_all(dir + "/many");

  // 5. Time to the first byte.
  if (o.firstByte) firstByteRounds(dir, o.firstByteRounds);

  // 6 and 7. Through a relay that delays 25 ms each way.
  if (o.chaos || o.delayedFiles) {
    const int relayPort = servertest::randomFreePort();
    Chaos chaos(relayPort, 25);
    Pair pair(dir + "/chaos", {"--relay-via", "127.0.0.1:" + std::to_string(relayPort)});
    if (o.chaos) {
      const std::string chaosText = output({streamBench, "--mib", "0", "--chaos-mib", std::to_string(o.chaosMib),
                                            "--loss-mib", "0"});
      std::smatch m;
      const double streamChaos =
          std::regex_search(chaosText, m, std::regex("loss\\s+0\\.0%, \\d+ MiB:\\s+([0-9.]+) MB/s")) ? std::stod(m[1])
                                                                                                    : -1;
      const std::string file = dir + "/src/chaos.bin";
      trees::writeRandom(file, static_cast<uint64_t>(o.chaosMib) << 20, 9);
      const double seconds = pair.receive(pair.offer(file)).afterExchange;
      const double rate = static_cast<double>(o.chaosMib << 20) / 1e6 / seconds;
      const double data = pair.dataRate("chaos.bin");
      std::printf("%lld MiB through a relay with a 50 ms round trip: %.2f s from the offered paths (a punch through "
                  "the relay included), %.1f MB/s; data alone %.1f MB/s; the stream alone %.1f MB/s (data ratio %.2f)\n",
                  o.chaosMib, seconds, rate, data, streamChaos, streamChaos > 0 ? data / streamChaos : 0.0);
    }
    if (o.delayedFiles) {
      const std::string one = dir + "/src/delay-one.bin", tree = dir + "/src/delay-files";
      trees::writeRandom(one, 1024, 7);
      writeSmallFiles(tree, o.delayFiles, 10, 1000000);
      const Received alone = pair.receive(pair.offer(one));
      const Received many = pair.receive(pair.offer(tree));
      std::printf("1 KiB files through a 50 ms round trip (udp-chaos, 25 ms each way), s from the recv command to "
                  "\"every path received\": one file %.2f | %lld files %.2f | difference %.2f (aim: at most 3)\n",
                  alone.whole, o.delayFiles, many.whole, many.whole - alone.whole);
      std::printf("  the one file's steps, ms from the recv command (the receiver's log): %s\n",
                  stepsLine(stepTimes(alone.log, "delay-one.bin", alone.startMs)).c_str());
      if (trees::digest(tree) != trees::digest(pair.receiverHome->recv + "/delay-files")) std::printf("  TREES DIFFER\n");
      if (wormhole) {
        // Each byte passes the line twice (into the relay and out of it): half the delay each time.
        benchsupport::DelayedTcpProxy line(wormhole->transitPort(), std::chrono::microseconds(12500));
        const auto single = wormhole->transfer(one, dir + "/wormhole-delay-one", "3-one", line.port());
        const auto files = wormhole->transfer(tree, dir + "/wormhole-delay-files", "4-files", line.port());
        if (single.receiverSeconds < 0 || files.receiverSeconds < 0)
          std::printf("  magic-wormhole failed: %s\n", (single.failure + files.failure).substr(0, 300).c_str());
        else
          std::printf("  magic-wormhole, through a TCP delay line of 25 ms each way in front of its relay, s from its "
                      "receiver's start: one file %.2f | %lld files %.2f | difference %.2f\n",
                      single.receiverSeconds, o.delayFiles, files.receiverSeconds,
                      files.receiverSeconds - single.receiverSeconds);
      }
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  // Everything started (sshd, server, engines, magic-wormhole) is stopped by destructors, also on
  // a failure.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transfer_bench: %s\n", e.what());
    return 1;
  }
}
