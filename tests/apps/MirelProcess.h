// The real mainMirel in a child process: its own working folder, its own name (the log file is
// named after it), standard input from a text, standard output and error kept in files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace apptest {

struct Launch {
  explicit Launch(std::string dir, std::string input = "") : dir(std::move(dir)), input(std::move(input)) {}
  std::string dir;    // working folder; the output files go here too
  std::string input;  // standard input
  std::string argv0;  // the program's own name; empty: dir + "/mainMirel"
};

class MirelProcess {
 public:
  // Each run has output files of its own, so that several runs can share a folder.
  MirelProcess(const std::vector<std::string>& args, const Launch& launch)
      : tag(launch.dir + "/run" + std::to_string(++runs)), outPath(tag + ".out"), errPath(tag + ".err") {
    const std::string inPath = tag + ".in";
    testsupport::writeFile(inPath, launch.input);
    const std::string argv0 = launch.argv0.empty() ? launch.dir + "/mainMirel" : launch.argv0;
    std::vector<char*> argv = {const_cast<char*>(argv0.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, launch.dir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int error = posix_spawn(&pid, MAIN_MIREL_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error(std::string("posix_spawn: ") + strerror(error));
  }
  ~MirelProcess() { kill9(); }
  MirelProcess(const MirelProcess&) = delete;
  MirelProcess& operator=(const MirelProcess&) = delete;

  // The exit status once the program has ended by itself within the time; -1 otherwise (it is
  // then killed). A death by signal counts as 128 + the signal, as a shell shows it.
  int waitExit(int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
      if (std::chrono::steady_clock::now() > end) {
        kill9();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exitStatus;
  }

  // Sends `signum` and waits for the end; the exit status as waitExit gives it.
  int stop(int signum = SIGTERM, int timeoutMs = 10000) {
    if (running()) kill(pid, signum);
    return waitExit(timeoutMs);
  }

  void kill9() {
    if (!running()) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }

  bool running() { return testsupport::stillRunning(pid, exitStatus); }

  // True once `text` shows on standard output within the time.
  bool waitForOutput(const std::string& text, int timeoutMs = 20000) {
    return waitUntil([&] { return out().find(text) != std::string::npos; }, timeoutMs);
  }

  bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  std::string out() const { return testsupport::readFile(outPath); }
  std::string err() const { return testsupport::readFile(errPath); }

 private:
  static inline int runs = 0;
  std::string tag;
  std::string outPath;
  std::string errPath;
  pid_t pid = -1;
  int exitStatus = -1;
};

// The last line of `text` that is not empty.
inline std::string lastLine(const std::string& text) {
  const size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  const size_t newline = text.rfind('\n', end);
  const size_t start = newline == std::string::npos ? 0 : newline + 1;
  return text.substr(start, end - start + 1);
}

}  // namespace apptest
