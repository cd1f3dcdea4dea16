// Small fixtures shared by the test programs.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>

namespace p2p {
class UvLoop;
}

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return _path; }
  std::string file(const std::string& name) const { return _path + "/" + name; }

 private:
  std::string _path;
};

// Sets (or, with unset(), removes) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  explicit ScopedEnv(const std::string& name);  // unsets
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string _name;
  bool _had = false;
  std::string _old;
};

// Sends standard output into a pipe until finish() puts it back: a thread drains it into the
// text finish() returns or, when nobody reads, every write fails with EPIPE. A pipe, not a file:
// a write longer than the pipe takes atomically may interleave with another.
class StdoutCapture {
 public:
  explicit StdoutCapture(bool nobodyReads = false);
  ~StdoutCapture() { finish(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string finish();

 private:
  int _saved = -1;
  std::thread _reader;
  std::string _text;
};

// The text of the std::exception that f throws, or "" when it throws none.
std::string failureOf(const std::function<void()>& f);

// Runs the loop until `done` holds or `limitMs` of real time have passed; says whether it held.
bool runUntil(p2p::UvLoop& loop, const std::function<bool()>& done, int limitMs = 3000);

// For a child process: false once it has ended, which reaps it, sets `pid` to -1 (so it is never
// signalled again) and `exitStatus` to its exit code, or 128 + the signal that ended it.
bool stillRunning(pid_t& pid, int& exitStatus);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

}  // namespace testsupport
