// Two-engine tests: an engine (tests/tools/engine-peer) in a child process of its own, with its
// own working folder, driven by JSON commands and read back through its JSON event lines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ServerProcess.h"
#include "support/TestSupport.h"

extern char** environ;

namespace enginetest {

using json = nlohmann::json;

// An account on the stand-in server.
struct Account {
  std::string user;
  std::string password;
  std::string key() const { return servertest::userKey(user, password); }
};

// Stores the account on the server's data folder (works while the server runs).
inline void addAccount(const servertest::ServerProcess& server, const Account& account) {
  const int status = servertest::ServerProcess::runToEnd(
      {"--data", server.dataDir, "--add-user", account.user, account.password}, server.dataDir + ".adduser.log");
  if (status != 0) throw std::runtime_error("--add-user " + account.user + " failed");
}

// A computer's working folder: properties.ini for `account` and the server, cacert.pem, and
// the receive folder "recv".
class EngineHome {
 public:
  EngineHome(const servertest::ServerProcess& server, const Account& account, const std::string& dir)
      : dir(dir), recv(dir + "/recv") {
    mkdir(dir.c_str(), 0700);
    mkdir(recv.c_str(), 0700);
    testsupport::writeFile(dir + "/cacert.pem", testsupport::readFile(server.caPath()));
    tcpPort = servertest::randomFreePort();
    testsupport::writeFile(dir + "/properties.ini",
                           "[server]\nurl = https://127.0.0.1:" + std::to_string(server.httpsPort) +
                               "/\nudpPort = " + std::to_string(server.udpPort) + "\n[user]\nname = " + account.user +
                               "\nkey = " + account.key() + "\n[computer]\nname = " + account.user +
                               "'s computer\ntcp = " + std::to_string(tcpPort) + "\nrecvPath = " + recv + "\n");
  }

  std::string dir;
  std::string recv;
  int tcpPort = 0;
};

class EngineProcess {
 public:
  explicit EngineProcess(const EngineHome& home) : logPath(home.dir + "/engine.log") {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (home.dir + "/engine.err").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    const std::string dir = home.dir;
    std::vector<char*> argv = {const_cast<char*>(ENGINE_PEER_PATH), const_cast<char*>("--dir"),
                               const_cast<char*>(dir.c_str()), const_cast<char*>("--log"),
                               const_cast<char*>(logPath.c_str()), nullptr};
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild = in[1];
    fromChild = out[0];
    if (error != 0) throw std::runtime_error(std::string("posix_spawn: ") + strerror(error));
  }
  ~EngineProcess() { stop(); }
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  void command(const json& c) {
    const std::string line = c.dump() + "\n";
    if (write(toChild, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      throw std::runtime_error("engine-peer does not take commands");
  }

  // The first event (seen before or arriving within the time) that `match` accepts.
  std::optional<json> waitFor(const std::function<bool(const json&)>& match, int timeoutMs = 20000) {
    for (size_t i = 0;; ++i) {
      while (i >= events.size()) {
        if (!readEvent(timeoutMs)) return std::nullopt;
      }
      if (match(events[i])) return events[i];
    }
  }
  std::optional<json> waitFor(const std::string& type, int id, int timeoutMs = 20000) {
    return waitFor([&](const json& e) { return e["type"] == type && e["id"] == id; }, timeoutMs);
  }
  void waitLoggedIn(int timeoutMs = 20000) {
    if (!waitFor([](const json& e) { return e["type"] == "LOGIN" && e["status"] == 0; }, timeoutMs))
      throw std::runtime_error("engine did not log in: " + log());
  }

  // Asks for an orderly stop; kills what does not stop within 10 s. The exit status or -1.
  int stop() {
    if (pid <= 0) return exitStatus;
    if (toChild >= 0) {
      command({{"op", "quit"}});
      close(toChild);
      toChild = -1;
    }
    for (int i = 0; i < 1000 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (running()) kill9();
    closeFds();
    return exitStatus;
  }

  void kill9() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    exitStatus = -1;
    closeFds();
  }

  bool running() { return testsupport::stillRunning(pid, exitStatus); }

  std::string log() const { return testsupport::readFile(logPath); }
  pid_t processId() const { return pid; }

  // Waits until the log file holds `text`; false on time-out.
  bool waitLog(const std::string& text, int timeoutMs = 30000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (log().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  std::vector<json> events;
  std::string logPath;

 private:
  // Reads until one more event is in `events`; false on time-out or end of output.
  bool readEvent(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const size_t lineEnd = pending.find('\n');
      if (lineEnd != std::string::npos) {
        const std::string line = pending.substr(0, lineEnd);
        pending.erase(0, lineEnd + 1);
        events.push_back(json::parse(line));
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || fromChild < 0) return false;
      pollfd p{fromChild, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t n = read(fromChild, buffer, sizeof buffer);
      if (n <= 0) return false;
      pending.append(buffer, static_cast<size_t>(n));
    }
  }

  void closeFds() {
    if (toChild >= 0) close(toChild);
    if (fromChild >= 0) close(fromChild);
    toChild = fromChild = -1;
  }

  pid_t pid = -1;
  int exitStatus = -1;
  int toChild = -1;
  int fromChild = -1;
  std::string pending;
};

}  // namespace enginetest
