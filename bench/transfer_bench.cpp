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
#include "WormholeRig.h"
#include "support/ChildProcess.h"
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

long long epochMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
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

// Console text without its colours.
std::string plain(const std::string& text) { return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), ""); }

// `name` as a regular expression that matches it literally.
std::string literal(const std::string& name) {
  return std::regex_replace(name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The receiver's own figure for the data of a file, from its first byte to its rename.
double receivedRate(const std::string& text, const std::string& name) {
  std::smatch m;
  return std::regex_search(text, m, std::regex("received \\S*" + literal(name) + " \\d+ bytes ([0-9.]+) MB/s"))
             ? std::stod(m[1])
             : -1;
}

// A growing log file from where it stood at construction: what has been appended since.
class LogFollower {
 public:
  explicit LogFollower(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd >= 0) offset = lseek(fd, 0, SEEK_END);
  }
  ~LogFollower() {
    if (fd >= 0) close(fd);
  }
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // Waits (reading every 2 ms) until `needle` has been appended; false on time-out.
  bool waitFor(const std::string& needle, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t from = 0;
    for (;;) {
      readMore();
      if (text.find(needle, from) != std::string::npos) return true;
      from = text.size() > needle.size() ? text.size() - needle.size() : 0;
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::string text;

 private:
  void readMore() {
    char buffer[65536];
    for (ssize_t n; fd >= 0 && (n = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += n)
      text.append(buffer, static_cast<size_t>(n));
  }

  int fd;
  off_t offset = 0;
};

std::string madeFolder(const std::string& dir) {
  fs::create_directories(dir);
  return dir;
}

struct Received {
  double whole;          // from the recv command to "every path received"
  double afterExchange;  // from the offered paths' arrival (the ticket exchange excluded)
  long long startMs;     // the recv command's wall clock, milliseconds since the epoch
  std::string log;       // the receiver's log lines of the receive
};

// Two logged-in engines on one stand-in; the server may send them through an outside relay.
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

  double dataRate(const std::string& name) const { return receivedRate(receiver->log(), name); }

  std::string offer(const std::string& path) {
    sender->command({{"op", "send"}, {"id", ++id}, {"to", bob.user}, {"files", {path}}});
    auto created = sender->waitFor("TICKET_CREATE", id);
    if (!created || (*created)["code"] == "") throw std::runtime_error("no ticket");
    return (*created)["code"];
  }

  Received receive(const std::string& code, int timeoutMs = 600000) {
    LogFollower log(receiver->logPath);
    const long long startMs = epochMs(std::chrono::system_clock::now());
    const auto start = Clock::now();
    receiver->command({{"op", "recv"}, {"id", ++id}, {"code", code}});
    auto exchanged = receiver->waitFor("TICKET_GET", id, 60000);
    if (!exchanged) throw std::runtime_error("no ticket exchange");
    if ((*exchanged)["reason"] != "") throw std::runtime_error("ticket exchange failed: " + exchanged->dump());
    const auto paths = Clock::now();
    if (!log.waitFor("ticket " + code + ": every path received", timeoutMs))
      throw std::runtime_error("receive did not end: " + code);
    const double whole = secondsSince(start);
    return {whole, secondsSince(paths), startMs, std::move(log.text)};
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

// `count` files of 1 KiB in `folders` folders under `root`.
void writeSmallFiles(const std::string& root, long long count, long long folders, uint64_t seed) {
  for (long long i = 0; i < count; ++i)
    trees::writeRandom(root + "/d" + std::to_string(i % folders) + "/f" + std::to_string(i), 1024,
                       seed + static_cast<uint64_t>(i));
}

// ---- the console programs ----

// The standard output of a child, read through a pipe as it comes.
class ConsoleReader {
 public:
  ConsoleReader() {
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  }
  ~ConsoleReader() {
    for (int fd : ends)
      if (fd >= 0) close(fd);
  }
  ConsoleReader(const ConsoleReader&) = delete;
  ConsoleReader& operator=(const ConsoleReader&) = delete;

  int writeEnd() const { return ends[1]; }
  // Once the child holds its copy: the end of its output is then seen as the end of the pipe.
  void childStarted() {
    close(ends[1]);
    ends[1] = -1;
  }

  // Reads until `pattern` matches the text without colours; its first group, or nothing when the
  // output ends or the time is up.
  std::optional<std::string> waitFor(const std::regex& pattern, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::smatch m;
      text = plain(raw);
      if (std::regex_search(text, m, pattern)) return m.size() > 1 ? m[1].str() : m[0].str();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{ends[0], POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char buffer[4096];
      const ssize_t n = read(ends[0], buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      raw.append(buffer, static_cast<size_t>(n));
    }
  }

  std::string text;  // what came so far, without colours

 private:
  int ends[2] = {-1, -1};
  std::string raw;
};

struct ConsoleReceive {
  double whole = -1;  // from the receiver program's start to its "every path received"
  double rate = -1;   // its "received ... MB/s" line
  bool same = false;
};

// mainMirel sends `file` to a second mainMirel that receives it by its code, each in a working
// folder of its own (properties.ini with the account, cacert.pem, recv), as a user runs them.
ConsoleReceive consoleReceive(const std::string& dir, const std::string& file, const std::string& digest) {
  servertest::ServerProcess server(madeFolder(dir) + "/server");
  addAccount(server, alice);
  addAccount(server, bob);
  const EngineHome from(server, alice, dir + "/alice"), to(server, bob, dir + "/bob");

  // Named inside its folder, so that its log file is written there.
  testsupport::Spawn sending({from.dir + "/mainMirel", "-s", "-f", file, "-t", bob.user}, MAIN_MIREL_PATH);
  sending.dir = from.dir;
  sending.out = from.dir + "/console.log";
  testsupport::ChildProcess sender(sending);
  std::string code;
  const bool offered = testsupport::eventually(
      [&] {
        std::smatch m;
        const std::string text = plain(testsupport::readFile(sending.out));
        if (std::regex_search(text, m, std::regex("Ticket ([A-Za-z0-9]+)"))) code = m[1];
        return !code.empty();
      },
      30000);
  if (!offered) throw std::runtime_error("the console sender printed no ticket: " + testsupport::readFile(sending.out));

  ConsoleReader console;
  testsupport::Spawn receiving({to.dir + "/mainMirel", "-r", "-c", code}, MAIN_MIREL_PATH);
  receiving.dir = to.dir;
  receiving.outFd = console.writeEnd();
  const auto start = Clock::now();
  testsupport::ChildProcess receiver(receiving);
  console.childStarted();
  const auto ending = console.waitFor(std::regex("ticket " + code + ": ([^\n]*)\n"), 600000);
  ConsoleReceive result;
  if (!ending || *ending != "every path received")
    throw std::runtime_error("the console receive did not end well: " + console.text.substr(0, 4000));
  result.whole = secondsSince(start);
  result.rate = receivedRate(console.text, fs::path(file).filename().string());
  result.same = trees::sha256OfFile(to.recv + "/" + fs::path(file).filename().string()) == digest;
  return result;
}

// ---- time to the first byte ----

// Milliseconds since the epoch of a log file line ("2026-12-09 15:28:38.508 ..."), or -1.
long long lineTime(const std::string& line) {
  std::tm t{};
  int ms = 0;
  if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                  &t.tm_sec, &ms) != 7)
    return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  return static_cast<long long>(std::mktime(&t)) * 1000 + ms;
}

// The steps of a receive in the receiver's log, in the order they happen.
std::vector<std::pair<std::string, std::regex>> receiveSteps(const std::string& fileName) {
  const std::regex hole(" handleHole +hole "), connected(" handle_connect +connected");
  return {{"TicketGet answered", std::regex("TicketGetResponse")},
          {"hole", hole},
          {"connected", connected},
          {"ticket answer", std::regex(" takeTicketResponse ")},
          {"second hole", hole},
          {"connected", connected},
          {"copy request", std::regex(" CopyRequest ticket:")},
          {"first data", std::regex(" " + literal(fileName) + " Recv [1-9][0-9]*/")}};
}

// Each step's milliseconds after `startMs` in `log`, each found after the one before; -1 for a
// step that is not there (from there on).
std::vector<long long> stepTimes(const std::string& log, const std::string& fileName, long long startMs) {
  std::vector<long long> times;
  size_t at = 0;
  for (const auto& [name, pattern] : receiveSteps(fileName)) {
    std::smatch m;
    const std::string rest = log.substr(std::min(at, log.size()));
    if (!std::regex_search(rest, m, pattern)) {
      times.resize(receiveSteps(fileName).size(), -1);
      break;
    }
    const size_t lineStart = log.rfind('\n', at + static_cast<size_t>(m.position(0)));
    const size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    const long long t = lineTime(log.substr(from, 32));
    times.push_back(t < 0 ? -1 : t - startMs);
    at += static_cast<size_t>(m.position(0) + m.length(0));
  }
  return times;
}

// "TicketGet answered 2 | hole 3 | ...": each step's milliseconds, "-" where it was not found.
std::string stepsLine(const std::vector<long long>& times) {
  std::string line;
  const auto steps = receiveSteps("");
  for (size_t i = 0; i < steps.size(); ++i)
    line += (i ? " | " : "") + steps[i].first + " " + (times[i] < 0 ? "-" : std::to_string(times[i]));
  return line;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void firstByteRounds(const std::string& dir, int rounds) {
  Pair pair(dir + "/first-byte");
  const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const auto& step : receiveSteps("")) n.push_back(step.first);
    return n;
  }();
  std::printf("time to the first byte, a new 1 KiB file on loopback, ms from the recv command (first byte: the first "
              "SEND_RECV event with an offset above 0; the steps: the receiver's log, whole ms):\n  round");
  for (const std::string& n : names) std::printf(" | %s", n.c_str());
  std::printf(" | first byte\n");
  std::vector<double> firstBytes;
  for (int round = 1; round <= rounds; ++round) {
    const std::string name = "first-byte-" + std::to_string(round) + ".bin";
    const std::string file = dir + "/src/" + name;
    trees::writeRandom(file, 1024, 100 + static_cast<uint64_t>(round));
    const std::string code = pair.offer(file);
    LogFollower log(pair.receiver->logPath);
    const long long startMs = epochMs(std::chrono::system_clock::now());
    const auto start = Clock::now();
    pair.receiver->command({{"op", "recv"}, {"id", ++pair.id}, {"code", code}});
    const auto written = pair.receiver->waitFor(
        [&](const json& e) { return e["type"] == "SEND_RECV" && e["code"] == code && e["offset"] > 0; }, 30000);
    if (!written) throw std::runtime_error("no data arrived for " + code);
    firstBytes.push_back(secondsSince(start) * 1000);
    if (!log.waitFor("ticket " + code + ": every path received", 30000))
      throw std::runtime_error("receive did not end: " + code);
    const std::vector<long long> steps = stepTimes(log.text, name, startMs);
    std::printf("  %5d", round);
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string cell = steps[i] < 0 ? "-" : std::to_string(steps[i]);
      std::printf(" | %*s", static_cast<int>(names[i].size()), cell.c_str());
    }
    std::printf(" | %10.1f\n", firstBytes.back());
  }
  std::printf("  first byte, min / median / max: %.1f / %.1f / %.1f ms (aim: at most 300 ms)\n",
              *std::min_element(firstBytes.begin(), firstBytes.end()), median(firstBytes),
              *std::max_element(firstBytes.begin(), firstBytes.end()));
}

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
