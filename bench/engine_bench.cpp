// Ticket exchanges between two engines on loopback, against the stand-in server:
//  - the whole receive up to the paths (TicketGet, punch, exchange) through the facade of a
//    second engine process: median and 95th percentile;
//  - exchanges driven from this process, good and refused: exchanges per second;
//  - the serving side's memory per accepted connection that idles before its request.
//
//   build/bench/engine_bench [exchanges=40] [idle=50]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <vector>

#include "net/handlers/EngineFixture.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/messages/TicketResponse.h"
#include "support/EngineProcess.h"

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

}  // namespace

int main(int argc, char** argv) {
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 40;
  const int idle = argc > 2 ? std::atoi(argv[2]) : 50;
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
    if (!got || (*got)["reason"] != "") return std::fprintf(stderr, "exchange failed\n"), 1;
    wholeMs.push_back(msSince(start));
    receiver.command({{"op", "pause"}, {"id", 0}, {"code", (*created)["code"]}});
  }
  std::printf("receive up to the paths (TicketGet, punch, exchange), %d runs: median %.1f ms, p95 %.1f ms\n",
              exchanges, percentile(wholeMs, 0.5), percentile(wholeMs, 0.95));

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
