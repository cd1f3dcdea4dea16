// Ticket exchanges between two engines on loopback, against the stand-in server:
//  - the whole receive up to the paths (TicketGet, punch, exchange) through the facade of a
//    second engine process: median and 95th percentile;
//  - exchanges driven from this process, good and refused: exchanges per second;
//  - the serving side's memory per accepted connection that idles before its request;
//  - strangers flooding the sender's UDP port from one address while a real receive runs from
//    another: (a) acknowledged connects held open, 64 every 3 s; (b) connect and close pairs,
//    1000 a second. Beside the same receive unflooded: the receive's time, the sender's loop
//    thread CPU and memory growth during the flood, and the log lines the flood caused.
//
//   build/bench/engine_bench [exchanges=40] [idle=4] [floodSeconds=60] [fileMB=256]
// A count of 0 leaves its part out.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "net/handlers/AcceptGate.h"
#include "net/handlers/Stranger.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/messages/TicketResponse.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/DataAck2.h"
#include "support/ChildProcess.h"
#include "support/EngineFixture.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"

using namespace enginetest;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

long rssKb(pid_t pid) {
  const std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
  std::smatch m;
  return std::regex_search(status, m, std::regex("VmRSS:\\s+(\\d+)")) ? std::stol(m[1]) : -1;
}

struct Counted : net::PeerManager::Listener {
  int answered = 0, ok = 0, closed = 0;
  void onNotify(net::PeerManager*, void* data) override {
    ++answered;
    ok += static_cast<const net::TicketResponse*>(data)->status == 0;
  }
  void onClose(net::PeerManager* pm, const std::string&) override {
    ++closed;
    pm->setListener(nullptr);
  }
};

// Connects and then says nothing.
struct Idle : net::IHandler {
  explicit Idle(net::IContext* c, int* connected) : IHandler(c), connected(connected) {}
  void handleRecv(const net::Message*) override {}
  void handleSend() override {
    if (!counted) ++*connected;
    counted = true;
  }
  int* connected;
  bool counted = false;
};

// ---- strangers ----

// The engine's one UDP socket, found among its open files.
int udpPortOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::set<std::string> inodes;
  if (DIR* fds = opendir((proc + "/fd").c_str())) {
    while (dirent* entry = readdir(fds)) {
      char target[128] = {};
      if (readlink((proc + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1) > 0) {
        std::cmatch m;
        if (std::regex_match(target, m, std::regex("socket:\\[(\\d+)\\]"))) inodes.insert(m[1]);
      }
    }
    closedir(fds);
  }
  std::istringstream table(testsupport::readFile(proc + "/net/udp"));
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (inodes.count(inode)) return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
  }
  return 0;
}

// CPU seconds the process's main thread (the engine's loop) has used.
double loopCpuSeconds(pid_t pid) {
  const std::string stat = testsupport::readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> f{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
  return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t logLines(const EngineProcess& engine) {
  const std::string log = engine.log();
  return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
}

// A stranger on its own loopback address, flooding the engine's port on a thread of its own.
class Flood {
 public:
  enum Kind { HeldOpen, ConnectClose };

  Flood(Kind kind, const std::string& ip, int port) : kind(kind), stranger(ip), port(port) {
    thread = std::thread([this] { run(); });
  }
  ~Flood() { stop(); }
  void stop() {
    done = true;
    if (thread.joinable()) thread.join();
  }

  std::atomic<long> connects{0}, acknowledged{0};

 private:
  void run() {
    using namespace std::chrono;
    int32_t channel = 1;
    auto nextBurst = steady_clock::now(), nextKeepAlive = steady_clock::now();
    while (!done) {
      const auto now = steady_clock::now();
      if (now >= nextBurst) {
        // (a) 64 connects every 3 s; (b) ten pairs every 10 ms.
        for (int i = 0; i < (kind == HeldOpen ? 64 : 10); ++i, ++channel) {
          p2p::Connect connect = enginetest::keyedConnect(channel);
          stranger.send(connect, port);
          ++connects;
          if (kind == ConnectClose) {
            p2p::Close close(channel);
            stranger.send(close, port);
          }
        }
        nextBurst += kind == HeldOpen ? milliseconds(3000) : milliseconds(10);
      }
      if (kind == HeldOpen && now >= nextKeepAlive) {
        // What a peer that never asks for anything sends to keep its streams alive.
        for (int32_t open : held) {
          p2p::DataAck2 ack;
          ack.channelId = open;
          stranger.send(ack, port);
        }
        nextKeepAlive += milliseconds(1000);
      }
      stranger.collect(2, [this](const p2p::Message& m) {
        if (m.getOpcode() == p2p::Message::connectAck) ++acknowledged, held.insert(m.getChannelId());
        if (m.getOpcode() == p2p::Message::close) held.erase(m.getChannelId());
      });
    }
  }

  Kind kind;
  enginetest::Stranger stranger;
  int port;
  std::set<int32_t> held;
  std::atomic<bool> done{false};
  std::thread thread;
};

struct FloodFigures {
  double receiveMs = 0, loopCpu = 0, linesPerMinute = 0;
  long pinnedKb = 0, connects = 0, acknowledged = 0;
  bool whole = false;
};

// One receive of a fresh offer of `file` from `sender` to `receiver`, with a flood of `kind`
// running beside it when given: the flood runs alone for `floodSeconds` first.
FloodFigures receiveBeside(EngineProcess& sender, EngineProcess& receiver, const EngineHome& receiverHome,
                           const Account& to, const std::filesystem::path& file, const Flood::Kind* kind,
                           const std::string& floodIp, int floodSeconds) {
  static int id = 10000;
  FloodFigures figures;
  const int port = udpPortOf(sender.processId());
  const long rssBefore = rssKb(sender.processId());
  std::unique_ptr<Flood> flood;
  if (kind) {
    flood = std::make_unique<Flood>(*kind, floodIp, port);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the first connections are in
    const double cpu = loopCpuSeconds(sender.processId());
    const size_t lines = logLines(sender);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(floodSeconds));
    const double seconds = msSince(start) / 1000;
    figures.loopCpu = (loopCpuSeconds(sender.processId()) - cpu) / seconds;
    figures.linesPerMinute = static_cast<double>(logLines(sender) - lines) / seconds * 60;
    figures.pinnedKb = rssKb(sender.processId()) - rssBefore;
  }
  std::filesystem::remove(std::filesystem::path(receiverHome.recv) / file.filename());
  sender.command({{"op", "send"}, {"id", ++id}, {"to", to.user}, {"files", {file.string()}}});
  auto created = sender.waitFor("TICKET_CREATE", id);
  const std::string code = created ? (*created)["code"].get<std::string>() : "";
  const auto start = Clock::now();
  receiver.command({{"op", "recv"}, {"id", ++id}, {"code", code}});
  receiver.waitLog("ticket " + code + ": ", 120000);
  figures.receiveMs = msSince(start);
  figures.whole = receiver.log().find("ticket " + code + ": every path received") != std::string::npos &&
                  trees::sha256OfFile(file) ==
                      trees::sha256OfFile(std::filesystem::path(receiverHome.recv) / file.filename());
  if (flood) {
    flood->stop();
    figures.connects = flood->connects;
    figures.acknowledged = flood->acknowledged;
  }
  return figures;
}

void floodSection(EngineProcess& sender, EngineProcess& receiver, const EngineHome& receiverHome,
                  const Account& to, const std::string& dataDir, int floodSeconds, int fileMb) {
  const std::filesystem::path file = std::filesystem::path(dataDir) / "flood" / "payload.bin";
  trees::writeRandom(file, static_cast<uint64_t>(fileMb) << 20, 7);
  struct Run {
    Flood::Kind kind;
    const char* name;
    const char* ip;  // each flood from an address of its own: strikes of one do not hold back the next
    FloodFigures figures;
  };
  // The floods first, so that the memory they pin is not hidden in what an earlier receive freed.
  Run runs[] = {{Flood::HeldOpen, "(a) 64 connects held open every 3 s", "127.0.0.2", {}},
                {Flood::ConnectClose, "(b) 1000 connect+close pairs a second", "127.0.0.3", {}}};
  for (Run& run : runs)
    run.figures = receiveBeside(sender, receiver, receiverHome, to, file, &run.kind, run.ip, floodSeconds);
  const FloodFigures alone = receiveBeside(sender, receiver, receiverHome, to, file, nullptr, "", 0);
  std::printf("strangers: a %d MB receive from 127.0.0.1 unflooded: %.0f ms%s\n", fileMb, alone.receiveMs,
              alone.whole ? "" : " (NOT WHOLE)");
  for (const Run& run : runs) {
    const FloodFigures& f = run.figures;
    std::printf("strangers %s from %s, %d s alone then beside the receive:\n"
                "  receive %.0f ms (%+.0f ms against unflooded)%s\n"
                "  sender's loop thread %.1f%% of a core; sender RSS %+ld kB; %.0f log lines a minute\n"
                "  %ld connects sent, %ld acknowledged\n",
                run.name, run.ip, floodSeconds, f.receiveMs, f.receiveMs - alone.receiveMs,
                f.whole ? "" : " (NOT WHOLE)", f.loopCpu * 100, f.pinnedKb, f.linesPerMinute, f.connects,
                f.acknowledged);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 40;
  // Connections that idle before their request all come from this computer's one address, which
  // may have no more than that many waiting.
  const int idle = std::min(argc > 2 ? std::atoi(argv[2]) : net::AcceptGate::MAX_WAITING, net::AcceptGate::MAX_WAITING);
  const int floodSeconds = argc > 3 ? std::atoi(argv[3]) : 60;
  const int fileMb = argc > 4 ? std::atoi(argv[4]) : 256;
  const Account alice{"alice@example.com", "alice-pw"}, bob{"bob@example.com", "bob-pw"};
  testsupport::TempDir data;
  servertest::ServerProcess server(data.file("server"));
  addAccount(server, alice);
  addAccount(server, bob);
  EngineHome senderHome(server, alice, data.file("alice"));
  EngineProcess sender(senderHome);
  sender.waitLoggedIn();
  const std::string senderUuid = [&] {
    std::smatch m;
    const std::string ini = testsupport::readFile(senderHome.dir + "/properties.ini");
    return std::regex_search(ini, m, std::regex("\\nuuid = ([^\\n]*)")) ? m[1].str() : std::string();
  }();

  // 1. The whole receive, as a user starts it, up to the offered paths.
  EngineHome receiverHome(server, bob, data.file("bob"));
  EngineProcess receiver(receiverHome);
  receiver.waitLoggedIn();
  std::vector<double> wholeMs;
  for (int i = 1; i <= exchanges; ++i) {
    sender.command({{"op", "send"}, {"id", i}, {"to", bob.user}, {"files", {"/nowhere/" + std::to_string(i)}}});
    auto created = sender.waitFor("TICKET_CREATE", i);
    if (!created || (*created)["code"] == "") return std::fprintf(stderr, "no ticket\n"), 1;
    const auto start = Clock::now();
    receiver.command({{"op", "recv"}, {"id", i}, {"code", (*created)["code"]}});
    auto got = receiver.waitFor("TICKET_GET", i);
    if (!got || (*got)["reason"] != "")
      return std::fprintf(stderr, "exchange failed: %s\n", got ? got->dump().c_str() : "no answer"), 1;
    wholeMs.push_back(msSince(start));
    // The missing path is refused for good and the receive ends by itself. A pause here would
    // end the copy connection before its request, which the sender counts against bob's address
    // as a stranger's would be, and a few dozen in a minute shut bob out.
    const std::string ended = "ticket " + (*created)["code"].get<std::string>() + ": ";
    if (!testsupport::eventually(
            [&] { return testsupport::readFile(receiver.logPath).find(ended) != std::string::npos; }, 10000))
      receiver.command({{"op", "pause"}, {"id", 0}, {"code", (*created)["code"]}});
  }
  if (exchanges > 0)
    std::printf("receive up to the paths (TicketGet, punch, exchange), %d runs: median %.1f ms, p95 %.1f ms\n",
                exchanges, percentile(wholeMs, 0.5), percentile(wholeMs, 0.95));

  // 4. Strangers on the sender's port (before the parts below, whose connections come from
  // this process's address too).
  if (floodSeconds > 0) floodSection(sender, receiver, receiverHome, bob, data.path(), floodSeconds, fileMb);

  // 2. Exchanges from this process, one after another, good and refused.
  sender.command({{"op", "sendcode"}, {"id", 0}, {"to", bob.user}, {"code", "BENCH"},
                  {"createdAt", static_cast<int64_t>(std::time(nullptr))}, {"files", {"/a", "/b"}}});
  LocalEngine engine("https://127.0.0.1:" + std::to_string(server.httpsPort) + "/", server.udpPort,
                     testsupport::readFile(server.caPath()));
  engine.manager->doLogin(0, bob.user, bob.password);
  engine.runUntil([&] { return engine.manager->isConnected(); }, 15000);
  p2p::TicketGetResponse who;
  who.uuid = senderUuid;
  who.userName = alice.user;
  for (const char* code : {"BENCH", "NO-SUCH-CODE"}) {
    if (exchanges == 0) break;
    Counted counted;
    const auto start = Clock::now();
    for (int i = 0; i < exchanges; ++i) {
      auto* pm = new net::PeerManager(engine.manager.get(), senderUuid,
                                      [&](net::IContext* c) { return new net::TicketRecvHandler(c, code, who); });
      pm->setListener(&counted);
      const int before = counted.closed;
      engine.runUntil([&] { return counted.closed > before; }, 20000);
    }
    const double seconds = msSince(start) / 1000.0;
    std::printf("%s exchanges from here: %d in %.2f s, %.1f per second (%d answered OK)\n",
                std::string(code) == "BENCH" ? "good" : "refused", exchanges, seconds, exchanges / seconds,
                counted.ok);
  }

  // 3. Accepted connections that idle before their request, on the serving side.
  if (idle == 0) return 0;
  engine.runUntil([] { return false; }, 500);
  const long before = rssKb(sender.processId());
  int connected = 0;
  for (int i = 0; i < idle; ++i) {
    new net::PeerManager(engine.manager.get(), senderUuid, [&](net::IContext* c) { return new Idle(c, &connected); });
    engine.runUntil([&] { return connected == i + 1; }, 10000);
  }
  engine.runUntil([] { return false; }, 500);
  const long after = rssKb(sender.processId());
  std::printf("serving side: %d idle accepted connections (%d connected) add %ld kB, %.0f kB each\n", idle,
              connected, after - before, static_cast<double>(after - before) / std::max(connected, 1));
  return 0;
}
