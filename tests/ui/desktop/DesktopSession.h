// The desktop tests' fixtures: a virtual X server (Xvfb) with a window manager and, when asked,
// a tray host, in which the real mainMirelWx runs in a working folder and a HOME of its own.
// Tests drive it as a user would (xdotool, xclip, x-drop, curl) and read its state through
// its dump hook (MIREL_UI_DUMP and SIGUSR1). Every wait is bounded; only the processes started
// here are ever signalled, by their ids.
#pragma once

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace desktoptest {

using json = nlohmann::json;
using Env = std::map<std::string, std::string>;

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls `done` every 100 ms until it holds or `limitMs` pass.
inline bool eventually(const std::function<bool()>& done, int limitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    sleepMs(100);
  }
  return true;
}

// environ with `changes` applied.
inline std::vector<std::string> environment(const Env& changes) {
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) all[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) all[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : all) out.push_back(name + "=" + value);
  return out;
}

// A child process, stopped (SIGTERM, then SIGKILL after 3 s) when the object goes.
class Child {
 public:
  // `stdoutFd`: where its standard output goes (-1: `logPath`); `extraFd` is handed down as fd 3.
  Child(const std::vector<std::string>& args, const Env& env, const std::string& logPath, const std::string& dir = "",
        int stdoutFd = -1, int extraFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
      posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    else
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    // glibc 2.36's posix_spawn has no public working-folder action: a shell changes folder first.
    std::vector<std::string> argvStrings = args;
    if (!dir.empty()) {
      argvStrings = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dir};
      argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    }
    std::vector<char*> argv;
    for (std::string& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = environment(env);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int error = posix_spawnp(&pid, argvStrings[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      pid = -1;
      throw std::runtime_error("cannot start " + args.at(0) + ": " + strerror(error));
    }
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() { return testsupport::stillRunning(pid, exitStatus); }
  // The exit status once it has ended within the time; nothing otherwise.
  std::optional<int> waitExit(int limitMs) {
    if (!eventually([this] { return !running(); }, limitMs)) return std::nullopt;
    return exitStatus;
  }
  void signal(int number) {
    if (running()) kill(pid, number);
  }
  void stop() {
    if (!running()) return;
    kill(pid, SIGTERM);
    if (!waitExit(3000)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  pid_t id() const { return pid; }

 private:
  pid_t pid = -1;
  int exitStatus = -1;
};

// Runs a command to its end (killed after `limitMs`) and returns its standard output.
inline std::string run(const std::vector<std::string>& args, const Env& env, int* status = nullptr, int limitMs = 10000) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::string text;
  std::optional<int> exit;
  {
    Child child(args, env, "/dev/null", "", out[1]);
    close(out[1]);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{out[0], POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    exit = child.waitExit(1000);
  }
  close(out[0]);
  if (status) *status = exit.value_or(-1);
  return text;
}

inline bool onPath(const std::string& program) {
  int status = -1;
  run({"/bin/sh", "-c", "command -v \"$0\"", program}, {}, &status);
  return status == 0;
}

// One GET over plain HTTP on loopback: the status (0 when the transfer failed) and the body.
inline std::pair<long, std::string> httpGet(const std::string& url, long timeoutMs = 5000) {
  std::pair<long, std::string> answer{0, ""};
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.second);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
      });
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.first);
  curl_easy_cleanup(curl);
  return answer;
}

// Xvfb with openbox and, when asked, trayer as tray host.
class XSession {
 public:
  XSession(const std::string& dir, bool withTray) : dir(dir) {
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "xclip", "import"})
      if (!onPath(tool)) {
        skipReason = std::string(tool) + " is not installed (scripts/setup installs it)";
        return;
      }
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    // -displayfd: the server picks a free display and tells its number.
    xvfb = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, Env{},
        dir + "/xvfb.log", "", -1, fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
      char buffer[16];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      skipReason = "no X server could start: " + testsupport::readFile(dir + "/xvfb.log");
      return;
    }
    display = ":" + number.substr(0, number.find('\n'));
    mkdir((dir + "/wm-home").c_str(), 0700);
    const Env env = {{"DISPLAY", display}, {"HOME", dir + "/wm-home"}};
    wm = std::make_unique<Child>(std::vector<std::string>{"openbox", "--sm-disable"}, env, dir + "/openbox.log");
    if (!eventually([&] { return xdrop({"wm"}) == 0; }, 10000)) throw std::runtime_error("openbox did not start");
    if (withTray) {
      tray = std::make_unique<Child>(std::vector<std::string>{"trayer", "--edge", "top", "--align", "right",
                                                              "--widthtype", "pixel", "--width", "120", "--height",
                                                              "24", "--SetDockType", "true"},
                                     env, dir + "/trayer.log");
      if (!eventually([&] { return xdrop({"tray"}) == 0; }, 10000)) throw std::runtime_error("trayer did not start");
    }
  }
  ~XSession() {
    tray.reset();
    wm.reset();
    xvfb.reset();
  }

  Env env() const { return {{"DISPLAY", display}}; }

  // x-drop with the session's display; its exit status (and output in `out`).
  int xdrop(const std::vector<std::string>& args, std::string* out = nullptr) const {
    std::vector<std::string> command = {X_DROP_PATH};
    command.insert(command.end(), args.begin(), args.end());
    int status = -1;
    const std::string text = run(command, env(), &status);
    if (out) *out = text;
    return status;
  }
  std::string xdotool(const std::vector<std::string>& args, int* status = nullptr) const {
    std::vector<std::string> command = {"xdotool"};
    command.insert(command.end(), args.begin(), args.end());
    return run(command, env(), status);
  }
  // The first window whose name matches the regular expression, within the time.
  std::string window(const std::string& name, int limitMs = 10000) const {
    std::string id;
    eventually(
        [&] {
          id = xdotool({"search", "--onlyvisible", "--name", name});
          id = id.substr(0, id.find('\n'));
          return !id.empty();
        },
        limitMs);
    if (id.empty()) throw std::runtime_error("no window named " + name);
    return id;
  }
  bool hasWindow(const std::string& name) const {
    return !xdotool({"search", "--onlyvisible", "--name", name}).empty();
  }
  // Activates the window and types the keys into it (as real key presses).
  void keys(const std::string& windowId, const std::vector<std::string>& keyNames) const {
    xdotool({"windowactivate", "--sync", windowId});
    for (const std::string& key : keyNames) {
      xdotool({"key", "--clearmodifiers", key});
      sleepMs(150);
    }
  }
  void type(const std::string& text) const { xdotool({"type", "--delay", "20", text}); }
  void click(const std::string& windowId, int x, int y, int button = 1) const {
    xdotool({"mousemove", "--window", windowId, std::to_string(x), std::to_string(y)});
    xdotool({"click", std::to_string(button)});
  }
  // A PNG of the window with its frame (or of the whole screen with "root").
  void screenshot(const std::string& windowId, const std::string& path) const {
    run({"import", "-frame", "-window", windowId, path}, env());
  }

  std::optional<std::string> skipReason;
  std::string dir;
  std::string display;

 private:
  std::unique_ptr<Child> xvfb, wm, tray;
};

// mainMirelWx in its own working folder and HOME, with a recording xdg-open first in PATH.
class DesktopApp {
 public:
  DesktopApp(const XSession& x, const std::string& workDir, const std::string& home)
      : x(x), workDir(workDir), home(home), dumpPath(workDir + "/ui-dump.json") {
    mkdir(workDir.c_str(), 0700);
    mkdir(home.c_str(), 0700);
    const std::string bin = home + "/bin";
    mkdir(bin.c_str(), 0700);
    opened = home + "/opened.txt";
    testsupport::writeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + opened + "'\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    mkdir((home + "/run").c_str(), 0700);
    env = x.env();
    env["HOME"] = home;
    env["NO_AT_BRIDGE"] = "1";
    env["MIREL_UI_DUMP"] = dumpPath;
    env["PATH"] = bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    env["XDG_RUNTIME_DIR"] = home + "/run";
    env["GDK_BACKEND"] = "x11";
    // CI runs under the C locale; text must cross as UTF-8 all the same.
    env["LC_ALL"] = "C";
    env["LANG"] = "C";
  }

  void start() { process = std::make_unique<Child>(std::vector<std::string>{MAINMIRELWX_PATH}, env, log(), workDir); }

  // The program's state, freshly written on SIGUSR1.
  json dump(int limitMs = 5000) {
    unlink(dumpPath.c_str());
    process->signal(SIGUSR1);
    if (!eventually([&] { return testsupport::fileExists(dumpPath); }, limitMs))
      throw std::runtime_error("no dump from mainMirelWx: " + testsupport::readFile(log()));
    return json::parse(testsupport::readFile(dumpPath));
  }
  // Dumps until `done` holds; the last dump.
  json waitFor(const std::function<bool(const json&)>& done, int limitMs = 20000) {
    json last;
    eventually(
        [&] {
          last = dump();
          return done(last);
        },
        limitMs);
    return last;
  }
  static bool noted(const json& state, const std::string& caption, const std::string& textPart = "") {
    if (!state.contains("messages")) return false;
    for (const json& m : state["messages"])
      if (m["caption"] == caption && m["text"].get<std::string>().find(textPart) != std::string::npos) return true;
    return false;
  }
  std::string mainWindow() const { return x.window("^mirelcpp"); }
  std::string log() const { return workDir + "/mainMirelWx.out"; }

  const XSession& x;
  std::string workDir, home, dumpPath, opened;
  Env env;
  std::unique_ptr<Child> process;
};

}  // namespace desktoptest
