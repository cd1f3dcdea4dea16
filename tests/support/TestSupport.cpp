#include "support/TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvTimer.h"

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "mirel-test-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  _path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(_path, ec);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : ScopedEnv(name) {
  setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::ScopedEnv(const std::string& name) : _name(name) {
  if (const char* old = getenv(name.c_str())) {
    _had = true;
    _old = old;
  }
  unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (_had)
    setenv(_name.c_str(), _old.c_str(), 1);
  else
    unsetenv(_name.c_str());
}

StdoutCapture::StdoutCapture(bool nobodyReads) {
  std::fflush(stdout);
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  _saved = ::dup(1);
  ::dup2(fds[1], 1);
  ::close(fds[1]);
  if (nobodyReads) {
    ::close(fds[0]);
    return;
  }
  _reader = std::thread([this, fd = fds[0]] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) _text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
  });
}

std::string StdoutCapture::finish() {
  if (_saved < 0) return _text;
  std::fflush(stdout);
  ::dup2(_saved, 1);  // closes the pipe's last write end: the reader sees the end
  ::close(_saved);
  _saved = -1;
  if (_reader.joinable()) _reader.join();
  return _text;
}

std::string failureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

bool runUntil(p2p::UvLoop& loop, const std::function<bool()>& done, int limitMs) {
  struct Poll : p2p::UvTimer::Cb {
    p2p::UvLoop& loop;
    const std::function<bool()>& done;
    std::chrono::steady_clock::time_point end;
    Poll(p2p::UvLoop& l, const std::function<bool()>& d, int ms)
        : loop(l), done(d), end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    void handleTimer() override {
      if (done() || std::chrono::steady_clock::now() > end) loop.stop();
    }
  } poll(loop, done, limitMs);
  p2p::UvTimer timer(&loop);
  timer.start(0, 1, &poll);
  loop.run();
  return done();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool fileExists(const std::string& path) { return fs::exists(path); }

bool stillRunning(pid_t& pid, int& exitStatus) {
  if (pid <= 0) return false;
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return true;
  exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid = -1;
  return false;
}

}  // namespace testsupport
