// From a receive's start to its first byte of file data, on loopback against the stand-in
// server, through the facade of two engine processes:
//  - a receiver right after its login, then `rows` receives in a row, then one after both
//    engines have idled `idleSeconds` since the offer: milliseconds from the command to the
//    first progress event that shows data, each with the timeline of its steps from both
//    engines' log files;
//  - the web-server call alone (TicketGet of an unknown code, from this process), each on a
//    connection of its own and with connections kept: back to back, and 2.5 s apart (the
//    stand-in closes a connection idle for 2 s); milliseconds per call, connections opened;
//  - the key agreement of one stream connect.
// With webRttMs > 0, the web server is reached through a relay that holds each byte webRttMs / 2
// each way, as a server across the internet would be; the peers and the rendezvous stay direct.
//
//   build/bench/first_byte_bench [rows=5] [idleSeconds=60] [calls=50] [webRttMs=0]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "p2p/uv/HttpRequest.h"
#include "p2p/uv/UvLoop.h"
#include "support/EngineProcess.h"
#include "support/TestSupport.h"
#include "support/Trees.h"
#include "utils/DH.h"

using namespace enginetest;
using Clock = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

namespace {

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int64_t wallMs(Wall::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// A log file line's time ("%Y-%m-%d %H:%M:%S.mmm", local time) in ms since the epoch, or -1.
int64_t lineMs(const std::string& line) {
  std::tm tm{};
  if (line.size() < 23 || !strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return -1;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm)) * 1000 + std::atoi(line.c_str() + 20);
}

// The lines of a log file whose time lies in [from, to], with the time and a tag.
void collect(const std::string& log, const char* who, int64_t from, int64_t to,
             std::vector<std::pair<int64_t, std::string>>& out) {
  static const std::regex noise("sendNextChunk|onNotify|TimerCB");
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    const int64_t t = lineMs(line);
    if (t < from || t > to || std::regex_search(line, noise)) continue;
    // The level, file and function columns go; the text stays.
    static const std::regex columns("^\\S+ \\S+\\s+\\S+\\s+\\S+:\\d+\\s+\\S+\\s+(.*)$");
    std::smatch m;
    const std::string text = std::regex_match(line, m, columns) ? m[1].str() : line;
    out.emplace_back(t, std::string(who) + " | " + text.substr(0, 110));
  }
}

struct Peers {
  EngineProcess& sender;
  EngineProcess& receiver;
  const EngineHome& receiverHome;
  const Account& to;
  std::string sample;
};

// One receive of a new offer of the sample, `idleSeconds` after the offer; ms to the first data,
// with the timeline printed.
double receiveOnce(Peers& p, const char* condition, int idleSeconds = 0) {
  static int id = 100;
  std::filesystem::remove_all(std::filesystem::path(p.receiverHome.recv) / "sample");
  p.sender.command({{"op", "send"}, {"id", ++id}, {"to", p.to.user}, {"files", {p.sample}}});
  auto created = p.sender.waitFor("TICKET_CREATE", id);
  const std::string code = created ? (*created)["code"].get<std::string>() : "";
  if (code.empty()) return std::fprintf(stderr, "no ticket\n"), -1;
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const int recvId = ++id;
  const Wall::time_point wallStart = Wall::now();
  const Clock::time_point start = Clock::now();
  p.receiver.command({{"op", "recv"}, {"id", recvId}, {"code", code}});
  auto data = p.receiver.waitFor(
      [&](const json& e) { return e["type"] == "SEND_RECV" && e["id"] == recvId && e["offset"] > 0; }, 30000);
  const double firstByteMs = msSince(start);
  const int64_t end = wallMs(Wall::now());
  if (!data) return std::fprintf(stderr, "no data within 30 s\n"), -1;
  p.receiver.waitLog("ticket " + code + ": ", 60000);
  const bool whole = trees::digest(std::filesystem::path(p.sample)) ==
                     trees::digest(std::filesystem::path(p.receiverHome.recv) / "sample");
  std::printf("%s: first byte %.1f ms%s\n", condition, firstByteMs, whole ? "" : " (TREES DIFFER)");
  std::vector<std::pair<int64_t, std::string>> lines;
  const int64_t from = wallMs(wallStart);
  collect(p.receiver.log(), "recv", from - 1, end, lines);
  collect(p.sender.log(), "send", from - 1, end, lines);
  std::stable_sort(lines.begin(), lines.end(), [](auto& a, auto& b) { return a.first < b.first; });
  for (const auto& [t, text] : lines) std::printf("  %+5lld ms  %s\n", static_cast<long long>(t - from), text.c_str());
  return firstByteMs;
}

// TCP connections to 127.0.0.1:port forwarded to 127.0.0.1:target, every byte held delayMs in
// each direction, and the first bytes of a connection a round trip more, for its handshake; a
// side that closes closes the pair once its last bytes are through.
class DelayRelay {
 public:
  DelayRelay(int target, int delayMs) : target(target), delay(delayMs) {
    sockaddr_in address = servertest::loopback(0);
    socklen_t length = sizeof address;
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no relay listener");
    port = ntohs(address.sin_port);
    thread = std::thread([this] { run(); });
  }
  ~DelayRelay() {
    done = true;
    thread.join();
    for (Link& link : links) close(link.fd[0]), close(link.fd[1]);
    close(listener);
  }

  int port = 0;

 private:
  struct Held {
    Clock::time_point due;
    std::string bytes;  // empty: the sending side closed
  };
  struct Link {
    int fd[2];                // the client, the server
    std::deque<Held> held[2];  // bytes from fd[i], for fd[1 - i]
    bool ended = false;
    bool spoke = false;  // the client has sent something
  };

  void run() {
    while (!done) {
      std::vector<pollfd> waiting{{listener, POLLIN, 0}};
      for (const Link& link : links)
        for (int fd : link.fd) waiting.push_back({fd, POLLIN, 0});
      poll(waiting.data(), waiting.size(), 1);
      if (waiting[0].revents & POLLIN) accepted();
      const Clock::time_point now = Clock::now();
      for (size_t i = 0; i < links.size(); ++i) {
        Link& link = links[i];
        for (int side = 0; side < 2; ++side) {
          if (link.ended || !(waiting[1 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          char buffer[16384];
          const ssize_t n = recv(link.fd[side], buffer, sizeof buffer, 0);
          // The client's first bytes wait one round trip more: the TCP handshake it would have made.
          const auto due = now + delay + (side == 0 && !link.spoke ? 2 * delay : std::chrono::milliseconds(0));
          link.spoke = link.spoke || side == 0;
          link.held[side].push_back({due, n > 0 ? std::string(buffer, static_cast<size_t>(n)) : ""});
          if (n <= 0) link.ended = true;
        }
      }
      for (Link& link : links) forward(link, now);
      links.erase(std::remove_if(links.begin(), links.end(), [](const Link& l) { return l.fd[0] < 0; }), links.end());
    }
  }

  void accepted() {
    const int client = accept(listener, nullptr, nullptr);
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = servertest::loopback(target);
    if (client < 0 || connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      close(client), close(server);
      return;
    }
    // Each piece goes on at once, as the two ends write it: no wait for an acknowledgement.
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    links.push_back(Link{{client, server}, {}, false, false});
  }

  void forward(Link& link, Clock::time_point now) {
    for (int side = 0; side < 2; ++side) {
      auto& queue = link.held[side];
      while (!queue.empty() && queue.front().due <= now) {
        if (queue.front().bytes.empty()) {
          close(link.fd[0]), close(link.fd[1]);
          link.fd[0] = link.fd[1] = -1;
          return;
        }
        send(link.fd[1 - side], queue.front().bytes.data(), queue.front().bytes.size(), MSG_NOSIGNAL);
        queue.pop_front();
      }
    }
  }

  int target;
  std::chrono::milliseconds delay;
  int listener = -1;
  std::vector<Link> links;
  std::atomic<bool> done{false};
  std::thread thread;
};

struct Answer : p2p::HttpRequest::Cb {
  bool answered = false;
  void handleResponse(int, const std::string&, const std::string&) override { answered = true; }
};

// Milliseconds of each of `n` TicketGet calls, `gapMs` apart; adds the connections they opened.
std::vector<double> calls(const std::string& base, const p2p::HttpRequest::Settings& settings, p2p::UvLoop& loop,
                          int n, int gapMs, long& connections) {
  std::vector<double> ms;
  for (int i = 0; i < n; ++i) {
    if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const Clock::time_point start = Clock::now();
    Answer answer;
    p2p::HttpRequest request(base + "TicketGet?uuid=bench-pc&username=bob%40example.com&name=NONE" + std::to_string(i),
                             &loop, settings);
    request.exec(&answer);
    testsupport::runUntil(loop, [&] { return answer.answered; }, 10000);
    ms.push_back(msSince(start));
    connections += request.connectsMade();
  }
  return ms;
}

void callSection(const std::string& base, const std::string& caPath, int count) {
  p2p::UvLoop loop;
  for (bool kept : {false, true}) {
    p2p::HttpRequest::Settings settings;
    settings.caFile = caPath;
    if (kept) settings.connections = std::make_shared<p2p::HttpRequest::Connections>();
    long opened = 0;
    const std::vector<double> backToBack = calls(base, settings, loop, count, 0, opened);
    std::printf("TicketGet %s, %d calls back to back: first %.2f ms, median %.2f ms; %ld connections opened\n",
                kept ? "with connections kept" : "a connection each", count, backToBack[0], median(backToBack),
                opened);
    opened = 0;
    const std::vector<double> apart = calls(base, settings, loop, 5, 2500, opened);
    std::printf("TicketGet %s, 5 calls 2.5 s apart: median %.2f ms; %ld connections opened\n",
                kept ? "with connections kept" : "a connection each", median(apart), opened);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 5;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
  const int callCount = argc > 3 ? std::atoi(argv[3]) : 50;
  const int webRttMs = argc > 4 ? std::atoi(argv[4]) : 0;
  const Account alice{"alice@example.com", "alice-pw"}, bob{"bob@example.com", "bob-pw"};
  testsupport::TempDir data;
  servertest::ServerProcess server(data.file("server"));
  addAccount(server, alice);
  addAccount(server, bob);

  std::unique_ptr<DelayRelay> relay;
  if (webRttMs > 0) relay = std::make_unique<DelayRelay>(server.httpsPort, webRttMs / 2);
  const int webPort = relay ? relay->port : server.httpsPort;
  const std::string base = "https://127.0.0.1:" + std::to_string(webPort) + "/";
  if (relay) std::printf("web server reached with %d ms of round trip\n", webRttMs);

  if (callCount > 0) callSection(base, server.caPath(), callCount);

  {
    // What each stream connect spends on its key agreement, on each side.
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
      const Clock::time_point start = Clock::now();
      DHKeyExchange a, b;
      a.setPG();
      b.setPG();
      const std::string keyA = a.genPublicKey(), keyB = b.genPublicKey();
      a.genKey(keyB);
      b.genKey(keyA);
      ms.push_back(msSince(start) / 2);
    }
    std::printf("2048-bit Diffie-Hellman key pair and shared secret, one side: median %.2f ms\n", median(ms));
  }

  const std::filesystem::path sample = std::filesystem::path(data.path()) / "sample";
  trees::writeRandom(sample / "README.txt", 37, 1);
  trees::writeRandom(sample / "docs" / "notes.txt", 23, 2);
  trees::writeRandom(sample / "photos" / "big.bin", 4 << 20, 3);

  EngineHome senderHome(server, alice, data.file("alice"));
  EngineHome receiverHome(server, bob, data.file("bob"));
  for (const EngineHome* home : {&senderHome, &receiverHome}) {
    const std::string ini = home->dir + "/properties.ini";
    testsupport::writeFile(ini, std::regex_replace(testsupport::readFile(ini), std::regex("url = [^\n]*"),
                                                   "url = " + base));
  }
  EngineProcess sender(senderHome);
  sender.waitLoggedIn();
  EngineProcess receiver(receiverHome);
  receiver.waitLoggedIn();
  Peers peers{sender, receiver, receiverHome, bob, sample.string()};

  receiveOnce(peers, "receiver right after its login");
  std::vector<double> inRow;
  for (int i = 0; i < rows; ++i) inRow.push_back(receiveOnce(peers, ("in a row #" + std::to_string(i + 1)).c_str()));
  if (rows > 0) std::printf("%d receives in a row: median first byte %.1f ms\n", rows, median(inRow));
  // Both engines idle from the offer on, as when the offer was made a while ago.
  if (idleSeconds > 0) receiveOnce(peers, ("both " + std::to_string(idleSeconds) + " s idle").c_str(), idleSeconds);
  return 0;
}
