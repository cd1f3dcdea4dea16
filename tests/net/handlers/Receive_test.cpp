// The receive sequence against a web server that answers TicketGet as each case scripts it: a
// server that is away or failing is asked again every 5 s, a refusal ends the receive at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "support/EngineFixture.h"

using namespace enginetest;

namespace {

// A plain-HTTP web server on 127.0.0.1 that answers the TicketGet of each code with the next of
// the answers scripted for it (the last one again once they are used up); an empty answer hangs
// up without a word. Everything else is 404.
class ScriptedWeb {
 public:
  explicit ScriptedWeb(std::map<std::string, std::vector<std::string>> script) : script(std::move(script)) {
    sockaddr_in address = servertest::loopback(0);
    socklen_t length = sizeof address;
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no listener on 127.0.0.1");
    url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    thread = std::thread([this] { serve(); });
  }
  ~ScriptedWeb() {
    stop = true;
    thread.join();
    close(listener);
  }

  static std::string answer(int status, const std::string& body = "") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }
  int asked(const std::string& code) {
    std::lock_guard<std::mutex> lock(mutex);
    return count[code];
  }

  std::string url;

 private:
  void serve() {
    while (!stop) {
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int fd = accept(listener, nullptr, nullptr);
      std::string head;
      char buffer[4096];
      for (ssize_t n; head.find("\r\n\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        head.append(buffer, static_cast<size_t>(n));
      const std::string reply = replyTo(head);
      send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(fd);
    }
  }
  std::string replyTo(const std::string& head) {
    std::smatch code;
    if (!std::regex_search(head, code, std::regex("^GET /TicketGet\\?[^ ]*&name=([^ &]+)"))) return answer(404);
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<std::string>& answers = script.at(code[1]);
    const int n = count[code[1]]++;
    return answers[std::min<size_t>(static_cast<size_t>(n), answers.size() - 1)];
  }

  std::map<std::string, std::vector<std::string>> script;
  std::map<std::string, int> count;
  std::mutex mutex;
  int listener = -1;
  std::atomic<bool> stop{false};
  std::thread thread;
};

}  // namespace

TEST(ReceiveLookup, AnAbsentOrFailingWebServerIsAskedAgainEvery5sARefusalIsFinal) {
  using S = ScriptedWeb;
  struct Case {
    std::string code;
    std::vector<std::string> answers;
    int asked;               // TicketGet requests in all
    std::string lastReason;  // of the event that ends the receive
  };
  const std::vector<Case> cases = {
      {"BUSY", {S::answer(503), S::answer(502, "bad gateway"), S::answer(404)}, 3, "Not Found"},
      {"SILENT", {"", S::answer(403)}, 2, "Authentication error"},
      {"GARBLED", {S::answer(200, "<html>"), S::answer(404)}, 2, "Not Found"},
      {"GONE", {S::answer(404)}, 1, "Not Found"},
      {"MOVED", {S::answer(302)}, 1, "HTTP 302"},
      {"REFUSED", {S::answer(400, "bad request")}, 1, "bad request"},
  };
  std::map<std::string, std::vector<std::string>> script;
  for (const Case& c : cases) script[c.code] = c.answers;
  ScriptedWeb web(script);
  LocalEngine engine(web.url);
  for (size_t i = 0; i < cases.size(); ++i) engine.manager->ticketRecv(static_cast<int>(i), cases[i].code);
  auto over = [&] {
    for (size_t i = 0; i < cases.size(); ++i)
      if (engine.events.ticketGetReasons(static_cast<int>(i)).size() != static_cast<size_t>(cases[i].asked))
        return false;
    return engine.manager->receives.empty();
  };
  EXPECT_TRUE(engine.runUntil(over, 30000));
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.code);
    EXPECT_EQ(web.asked(c.code), c.asked);
    const std::vector<std::string> reasons = engine.events.ticketGetReasons(static_cast<int>(i));
    ASSERT_EQ(reasons.size(), static_cast<size_t>(c.asked));  // one event per answer
    EXPECT_EQ(reasons.back(), c.lastReason);
  }
  EXPECT_EQ(engine.events.ticketGetReasons(0)[0], "HTTP 503");
  EXPECT_EQ(engine.events.ticketGetReasons(0)[1], "bad gateway");
}
