// The real mainMirel in a child process: its own working folder, its own name (the log file is
// named after it), standard input from a text, standard output and error kept in files.
#pragma once

#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace apptest {

struct Launch {
  explicit Launch(std::string dir, std::string input = "") : dir(std::move(dir)), input(std::move(input)) {}
  std::string dir;    // working folder; the output files go here too
  std::string input;  // standard input
  std::string argv0;  // the program's own name; empty: dir + "/mainMirel"
};

class MirelProcess : public testsupport::ChildProcess {
 public:
  MirelProcess(const std::vector<std::string>& args, const Launch& launch)
      : ChildProcess(spawn(args, launch, launch.dir + "/run" + std::to_string(++runs))),
        tag(launch.dir + "/run" + std::to_string(runs)) {}

  int waitExit(int limitMs = 10000) { return ChildProcess::waitExit(limitMs); }
  int stop(int signum = SIGTERM) { return ChildProcess::stop(signum, 10000); }
  bool waitForOutput(const std::string& text, int limitMs = 20000) {
    return testsupport::eventually([&] { return out().find(text) != std::string::npos; }, limitMs);
  }
  std::string out() const { return testsupport::readFile(tag + ".out"); }
  std::string err() const { return testsupport::readFile(tag + ".err"); }

 private:
  // Each run has files of its own, so that several runs can share a folder.
  static testsupport::Spawn spawn(const std::vector<std::string>& args, const Launch& launch, const std::string& tag) {
    testsupport::writeFile(tag + ".in", launch.input);
    testsupport::Spawn s({launch.argv0.empty() ? launch.dir + "/mainMirel" : launch.argv0}, MAIN_MIREL_PATH);
    s.args.insert(s.args.end(), args.begin(), args.end());
    s.dir = launch.dir;
    s.in = tag + ".in", s.out = tag + ".out", s.err = tag + ".err";
    return s;
  }
  static inline int runs = 0;
  std::string tag;
};

}  // namespace apptest
