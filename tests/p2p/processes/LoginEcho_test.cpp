// The rendezvous login against the real stand-in server, on a test clock: the states it reports
// (each change once), a wrong key, a silent server and its return, and forged server echoes.
#include <dirent.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "p2p/processes/LoginEcho.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

using namespace p2p;
using servertest::ServerProcess;

namespace {

using Report = std::pair<LoginEcho::ResponseStatus, std::string>;

const std::string USER = "ann@example.org";
const std::string PASSWORD = "pw-ann";

// The child's id, found by its command line (ServerProcess keeps its own private).
pid_t serverPid(const ServerProcess& server) {
  const std::string wanted = "--https-port" + std::string(1, '\0') + std::to_string(server.httpsPort) + '\0';
  pid_t found = -1;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc))
    if (testsupport::readFile("/proc/" + std::string(entry->d_name) + "/cmdline").find(wanted) != std::string::npos)
      found = std::atoi(entry->d_name);
  closedir(proc);
  return found;
}

class LoginEchoTest : public ::testing::Test, public LoginEcho::Cb {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ServerProcess::runToEnd({"--data", data, "--add-user", USER, PASSWORD}, temp.file("add.log")));
    process = std::make_unique<ServerProcess>(data);
    server = std::make_unique<Server>("https://127.0.0.1:" + std::to_string(process->httpsPort) + "/",
                                      process->udpPort, &loop, process->caPath());
    router = std::make_unique<UdpRouter>(&loop);
    echo = std::make_unique<LoginEcho>(server.get(), router.get(), this);
  }

  void handleLoginStatus(LoginEcho::ResponseStatus status, const std::string& reason) override {
    reports.emplace_back(status, reason);
  }

  bool runUntil(const std::function<bool()>& done, int limitMs) { return testsupport::runUntil(loop, done, limitMs); }

  // Moves the test clock on in steps, letting the keep-alive act and the server answer after
  // each, until `done` holds.
  bool advanceUntil(const std::function<bool()>& done, uint64_t stepMs, int steps) {
#ifdef MIREL_SANITIZE_BUILD
    const int realMsPerStep = 500;  // the sanitized server answers slower on a busy machine
#else
    const int realMsPerStep = 100;
#endif
    for (int i = 0; i < steps && !done(); ++i) {
      clockMs += stepMs;
      echo->handleTimer();
      runUntil(done, realMsPerStep);
    }
    return done();
  }

  // How often the server has logged `what`: "GET /Login" per web login, "udp echo " per echo.
  size_t serverSaw(const std::string& what) const {
    // The server writes its line just after answering: let the last one land.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string log = process->log();
    size_t count = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++count;
    return count;
  }

  std::function<bool()> reportCount(size_t n) {
    return [this, n] { return reports.size() >= n; };
  }

  void login(const std::string& uuid, const std::string& key) { echo->doLogin(uuid, USER, key, "desk", 5551); }
  std::string rightKey() const { return servertest::userKey(USER, PASSWORD); }

  testsupport::TempDir temp;
  std::string data = temp.file("data");
  uint64_t clockMs = 1000000;
  UvLoop loop{[this] { return clockMs; }};
  std::unique_ptr<ServerProcess> process;
  std::unique_ptr<Server> server;
  std::unique_ptr<UdpRouter> router;
  std::unique_ptr<LoginEcho> echo;
  std::vector<Report> reports;
};

TEST_F(LoginEchoTest, LogsInTimesOutWhileTheServerIsStoppedAndComesBack) {
  login("uuid-one", rightKey());
  // A new computer: the first login is refused as "Locked", the second carries the key.
  ASSERT_TRUE(advanceUntil(reportCount(1), 1000, 20));
  EXPECT_EQ(Report(LoginEcho::OK, ""), reports[0]);
  EXPECT_EQ("127.0.0.1", echo->getMyRemoteIp());
  EXPECT_TRUE(router->isRelay(server->getUdpAddr()));

  // Refusals from anyone but the server change nothing.
  servertest::UdpPeer stranger;
  ServerEcho forged;
  stranger.send(forged, router->getUdp()->getPort());
  // Echoes keep it OK without a second report: the one that follows the change, then one
  // every 20 s.
  const size_t echoesBefore = serverSaw("udp echo ");
  advanceUntil(reportCount(2), 10001, 4);
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(echoesBefore + 2, serverSaw("udp echo "));

  const size_t loginsBefore = serverSaw("GET /Login");
  const pid_t pid = serverPid(*process);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(pid, SIGSTOP));
  ASSERT_TRUE(advanceUntil(reportCount(2), LoginEcho::SERVER_ECHO_TIMEOUT + 1, 1));
  EXPECT_EQ(Report(LoginEcho::ERROR, "server timeout"), reports[1]);
  // Web logins are now due every 2 s; one hangs on the stopped server, no more follow it.
  advanceUntil(reportCount(3), 2100, 5);
  ASSERT_EQ(0, kill(pid, SIGCONT));
  ASSERT_TRUE(runUntil(reportCount(3), 10000));
  EXPECT_EQ(Report(LoginEcho::OK, ""), reports[2]);
  advanceUntil(reportCount(4), LoginEcho::SERVER_ECHO_PERIOD + 1, 2);
  EXPECT_EQ(3u, reports.size());
  EXPECT_EQ(loginsBefore + 1, serverSaw("GET /Login"));
}

TEST_F(LoginEchoTest, WrongKeyIsNotAuthorizedOnce) {
  login("uuid-two", servertest::userKey(USER, "wrong"));
  ASSERT_TRUE(advanceUntil(reportCount(1), 1000, 20));
  EXPECT_EQ(Report(LoginEcho::NOT_AUTHORIZED, "not authorized"), reports[0]);
  // Refused echoes go on every 10 s; the state is the same, so nothing more is reported.
  const size_t echoesBefore = serverSaw("udp echo ");
  advanceUntil(reportCount(2), 10001, 3);
  EXPECT_EQ(1u, reports.size());
  EXPECT_EQ(echoesBefore + 3, serverSaw("udp echo "));

  // The right key afterwards: a fresh login, reported OK.
  login("uuid-two", rightKey());
  ASSERT_TRUE(advanceUntil(reportCount(2), 1000, 20));
  EXPECT_EQ(Report(LoginEcho::OK, ""), reports[1]);
}

TEST_F(LoginEchoTest, WithoutKeyNothingStartsAndADeletedLoginHearsNothing) {
  EXPECT_NO_THROW(login("uuid-three", ""));
  advanceUntil(reportCount(1), LoginEcho::SERVER_ECHO_TIMEOUT + 1, 2);
  EXPECT_FALSE(server->getUdpAddr().isValid());  // no request was made

  login("uuid-three", rightKey());
  echo.reset();  // cancels the web login: its answer reaches nobody, and teaches nothing
  EXPECT_FALSE(runUntil([this] { return server->getUdpAddr().isValid(); }, 1000));
  EXPECT_TRUE(reports.empty());
}

}  // namespace
