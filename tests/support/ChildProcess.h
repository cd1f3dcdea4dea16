// A real program in a child process for the tests that drive whole programs: its arguments,
// environment, working folder and standard streams. Only this process is ever signalled, by its
// id; it is stopped (SIGTERM, then SIGKILL after 3 s) when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace testsupport {

// Polls `done` every 20 ms until it holds or `limitMs` pass; says whether it held.
inline bool eventually(const std::function<bool()>& done, int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

struct Spawn {
  explicit Spawn(std::vector<std::string> args, std::string program = "")
      : args(std::move(args)), program(std::move(program)) {}
  std::vector<std::string> args;           // args[0] is the name the program sees
  std::string program;                     // what runs; "" for args[0], looked up in PATH
  std::map<std::string, std::string> env;  // changes to this process's environment
  std::string dir;                         // working folder; "" keeps ours
  std::string in = "/dev/null", out = "/dev/null", err;  // files; `err` "" shares `out`
  int outFd = -1;                          // standard output instead of `out`
};

class ChildProcess {
 public:
  explicit ChildProcess(const Spawn& s) {
    std::vector<std::string> envStrings, argStrings = s.args;
    for (char** e = environ; *e; ++e)
      if (!s.env.count(std::string(*e, strcspn(*e, "=")))) envStrings.push_back(*e);
    for (const auto& [name, value] : s.env) envStrings.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (std::string& a : argStrings) argv.push_back(a.data());
    for (std::string& e : envStrings) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int append = O_WRONLY | O_CREAT | O_APPEND;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!s.dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, s.dir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, s.in.c_str(), O_RDONLY, 0);
    if (s.outFd >= 0)
      posix_spawn_file_actions_adddup2(&actions, s.outFd, STDOUT_FILENO);
    else
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, s.out.c_str(), append, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (s.err.empty() ? s.out : s.err).c_str(), append, 0600);
    const std::string& program = s.program.empty() ? s.args.at(0) : s.program;
    const int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      pid = -1;
      throw std::runtime_error("cannot start " + program + ": " + strerror(error));
    }
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() { return stillRunning(pid, exitStatus); }
  // The exit status (128 + the signal after a death by signal) once it has ended within the
  // time; -1 while it runs.
  int waitExit(int limitMs) { return eventually([this] { return !running(); }, limitMs) ? exitStatus : -1; }
  void signal(int number) {
    if (running()) kill(pid, number);
  }
  // Sends `number` and waits for the end; kills what does not end in time (the status is then -1).
  int stop(int number = SIGTERM, int limitMs = 3000) {
    signal(number);
    if (waitExit(limitMs) >= 0 || pid <= 0) return exitStatus;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    return exitStatus = -1;
  }

 private:
  pid_t pid = -1;
  int exitStatus = -1;
};

// Runs a command to its end (stopped after `limitMs`) and returns its standard output.
inline std::string runToEnd(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                            int* status = nullptr, int limitMs = 10000) {
  const int out = memfd_create("runToEnd", MFD_CLOEXEC);
  Spawn spawn(args);
  spawn.env = env;
  spawn.outFd = out;
  ChildProcess child(spawn);
  const int exit = child.waitExit(limitMs);
  if (status) *status = exit;
  std::string text(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
  if (pread(out, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) text.clear();
  close(out);
  return text;
}

}  // namespace testsupport
