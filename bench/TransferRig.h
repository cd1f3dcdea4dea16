// The pieces of transfer_bench: the engine pair, the relay, the console programs and the
// first-byte rounds. Included by transfer_bench.cpp alone.
#pragma once

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

#include "support/ChildProcess.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"

extern char** environ;

namespace transferbench {

using namespace enginetest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline const Account alice{"alice@example.com", "alice-pw"};
inline const Account bob{"bob@example.com", "bob-pw"};

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline long long epochMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

inline long long rchar(pid_t pid) {
  std::smatch m;
  const std::string io = testsupport::readFile("/proc/" + std::to_string(pid) + "/io");
  return std::regex_search(io, m, std::regex("rchar: (\\d+)")) ? std::stoll(m[1]) : -1;
}

// The whole standard output of a program.
inline std::string output(const std::vector<std::string>& args) {
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
inline double medianOf(const std::string& text, const std::string& label) {
  std::smatch m;
  const std::regex line(label + "\\s+[0-9.]+ / ([0-9.]+) / [0-9.]+");
  return std::regex_search(text, m, line) ? std::stod(m[1]) : -1;
}

// Console text without its colours.
inline std::string plain(const std::string& text) { return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), ""); }

// `name` as a regular expression that matches it literally.
inline std::string literal(const std::string& name) {
  return std::regex_replace(name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The receiver's own figure for the data of a file, from its first byte to its rename.
inline double receivedRate(const std::string& text, const std::string& name) {
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

inline std::string madeFolder(const std::string& dir) {
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
inline void writeSmallFiles(const std::string& root, long long count, long long folders, uint64_t seed) {
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
inline ConsoleReceive consoleReceive(const std::string& dir, const std::string& file, const std::string& digest) {
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
inline long long lineTime(const std::string& line) {
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
inline std::vector<std::pair<std::string, std::regex>> receiveSteps(const std::string& fileName) {
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
inline std::vector<long long> stepTimes(const std::string& log, const std::string& fileName, long long startMs) {
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
inline std::string stepsLine(const std::vector<long long>& times) {
  std::string line;
  const auto steps = receiveSteps("");
  for (size_t i = 0; i < steps.size(); ++i)
    line += (i ? " | " : "") + steps[i].first + " " + (times[i] < 0 ? "-" : std::to_string(times[i]));
  return line;
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline void firstByteRounds(const std::string& dir, int rounds) {
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

}  // namespace transferbench
