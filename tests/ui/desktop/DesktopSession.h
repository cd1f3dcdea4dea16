// The desktop tests' fixtures: a virtual X server (Xvfb) with a window manager and, when asked,
// a tray host, in which the real mainMirelWx runs in a working folder and a HOME of its own.
// Tests drive it as a user would (xdotool, xclip, x-drop, curl) and read its state through
// its dump hook (MIREL_UI_DUMP and SIGUSR1). Every wait is bounded; only the processes started
// here are ever signalled, by their ids.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace desktoptest {

using json = nlohmann::json;
using Env = std::map<std::string, std::string>;
using testsupport::ChildProcess;
using testsupport::eventually;

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args, const Env& env, const std::string& log) {
  testsupport::Spawn spawn(args);
  spawn.env = env, spawn.out = log;
  return std::make_unique<ChildProcess>(spawn);
}

// One GET on loopback with curl, as a browser or a script would send it: the HTTP status (0
// when nothing answered).
inline int httpGet(const std::string& url, int limitS = 5) {
  return std::atoi(testsupport::runToEnd({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--noproxy", "*",
                                          "--max-time", std::to_string(limitS), url})
                       .c_str());
}

// Xvfb with openbox and, when asked, trayer as tray host.
class XSession {
 public:
  XSession(const std::string& dir, bool withTray) {
    const std::string missing = testsupport::runToEnd({"/bin/sh", "-c", "for t; do command -v $t >/dev/null || echo $t; done",
                                                       "sh", "Xvfb", "openbox", "xdotool", "xclip", "import", "curl"});
    if (!missing.empty()) {
      skipReason = "not installed (scripts/setup installs them): " + missing;
      return;
    }
    // -displayfd: the server picks a free display and tells its number.
    const std::string number = dir + "/display";
    xvfb = start({"/bin/sh", "-c", "exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>\"$0\"", number}, {},
                 dir + "/xvfb.log");
    if (!eventually([&] { return testsupport::readFile(number).find('\n') != std::string::npos; }, 10000)) {
      skipReason = "no X server could start: " + testsupport::readFile(dir + "/xvfb.log");
      return;
    }
    display = ":" + std::to_string(std::stoi(testsupport::readFile(number)));
    mkdir((dir + "/wm-home").c_str(), 0700);
    const Env env = {{"DISPLAY", display}, {"HOME", dir + "/wm-home"}};
    wm = start({"openbox", "--sm-disable"}, env, dir + "/openbox.log");
    // The current desktop is known once a window manager runs.
    if (!eventually([&] { return run({"xdotool", "get_desktop"}) == "0\n"; }, 10000))
      throw std::runtime_error("openbox did not start");
    if (!withTray) return;
    // Under a loaded machine trayer now and then dies before it takes the tray; a user would
    // start it again, and so does the test, a few times.
    for (int attempt = 0; attempt < 3 && !tray; ++attempt) {
      tray = start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--height",
                    "24", "--SetDockType", "true"},
                   env, dir + "/trayer.log");
      if (!eventually([&] { return trayOwned() || !tray->running(); }, 20000) || !trayOwned()) tray.reset();
    }
    if (!tray) throw std::runtime_error("trayer did not start: " + testsupport::readFile(dir + "/trayer.log"));
  }
  Env env() const { return {{"DISPLAY", display}}; }

  // A command on the session's display: its standard output.
  std::string run(const std::vector<std::string>& args, int* status = nullptr) const {
    return testsupport::runToEnd(args, env(), status);
  }
  // Exits 0 once a tray host owns the system tray.
  bool trayOwned() const {
    int status = -1;
    run({X_DROP_PATH, "tray"}, &status);
    return status == 0;
  }
  // The first visible window whose name matches the regular expression, within the time.
  std::string window(const std::string& name, int limitMs = 10000) const {
    std::string id;
    eventually([&] { return !(id = firstWindow(name)).empty(); }, limitMs);
    if (id.empty()) throw std::runtime_error("no window named " + name);
    return id;
  }
  std::string firstWindow(const std::string& name) const {
    const std::string ids = run({"xdotool", "search", "--onlyvisible", "--name", name});
    return ids.substr(0, ids.find('\n'));
  }
  // Activates the window and types the keys into it (as real key presses).
  void keys(const std::string& windowId, const std::vector<std::string>& keyNames) const {
    run({"xdotool", "windowactivate", "--sync", windowId});
    for (const std::string& key : keyNames) {
      run({"xdotool", "key", "--clearmodifiers", key});
      sleepMs(150);
    }
  }
  void type(const std::string& text) const { run({"xdotool", "type", "--delay", "20", text}); }
  void click(const std::string& windowId, int x, int y, int button = 1) const {
    run({"xdotool", "mousemove", "--window", windowId, std::to_string(x), std::to_string(y), "click", std::to_string(button)});
  }

  std::optional<std::string> skipReason;
  std::string display;

 private:
  std::unique_ptr<ChildProcess> xvfb, wm, tray;  // stopped in the reverse order
};

// mainMirelWx in its own working folder and HOME, with a recording xdg-open first in PATH.
class DesktopApp {
 public:
  DesktopApp(const XSession& x, const std::string& workDir, const std::string& home)
      : workDir(workDir), dumpPath(workDir + "/ui-dump.json"), opened(home + "/opened.txt") {
    for (const std::string& dir : {workDir, home, home + "/bin", home + "/run"}) mkdir(dir.c_str(), 0700);
    testsupport::writeFile(home + "/bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + opened + "'\n");
    chmod((home + "/bin/xdg-open").c_str(), 0755);
    // CI runs under the C locale; text must cross as UTF-8 all the same.
    env = {{"DISPLAY", x.display}, {"HOME", home}, {"NO_AT_BRIDGE", "1"}, {"MIREL_UI_DUMP", dumpPath},
           {"PATH", home + "/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")},
           {"XDG_RUNTIME_DIR", home + "/run"}, {"GDK_BACKEND", "x11"}, {"LC_ALL", "C"}, {"LANG", "C"}};
  }

  void start() {
    testsupport::Spawn spawn({MAINMIRELWX_PATH});
    spawn.env = env, spawn.dir = workDir, spawn.out = log();
    process = std::make_unique<ChildProcess>(spawn);
  }

  // The program's state, freshly written on SIGUSR1.
  json dump() {
    unlink(dumpPath.c_str());
    process->signal(SIGUSR1);
    if (!eventually([&] { return testsupport::fileExists(dumpPath); }, 5000))
      throw std::runtime_error("no dump from mainMirelWx: " + testsupport::readFile(log()));
    return json::parse(testsupport::readFile(dumpPath));
  }
  // Dumps until `done` holds; the last dump.
  json waitFor(const std::function<bool(const json&)>& done, int limitMs = 20000) {
    json last;
    eventually([&] { return done(last = dump()); }, limitMs);
    return last;
  }
  // Whether a message box of that caption with `textPart` in its text was shown.
  static bool noted(const json& state, const std::string& caption, const std::string& textPart) {
    for (const json& m : state.value("messages", json::array()))
      if (m["caption"] == caption && m["text"].get<std::string>().find(textPart) != std::string::npos) return true;
    return false;
  }
  std::string log() const { return workDir + "/mainMirelWx.out"; }

  std::string workDir, dumpPath, opened;
  Env env;
  std::unique_ptr<ChildProcess> process;
};

}  // namespace desktoptest
