#include "p2p/uv/UvLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvTimer.h"
#include "support/TestSupport.h"

using p2p::UvLog;
using p2p::UvLoop;
using p2p::UvTimer;

namespace {

// Sends file descriptor 1 into a pipe that a thread drains, until finish() puts it back.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    _saved = ::dup(1);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    _readFd = fds[0];
    _reader = std::thread([this] {
      char buffer[65536];
      for (;;) {
        ssize_t n = ::read(_readFd, buffer, sizeof buffer);
        if (n > 0) {
          _text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          return;
        }
      }
    });
  }
  ~StdoutCapture() { finish(); }

  std::string finish() {
    if (_saved >= 0) {
      std::fflush(stdout);
      ::dup2(_saved, 1);  // closes the pipe's last write end: the reader sees the end
      ::close(_saved);
      _saved = -1;
      _reader.join();
      ::close(_readFd);
    }
    return _text;
  }

 private:
  int _saved = -1;
  int _readFd = -1;
  std::thread _reader;
  std::string _text;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct CallbackTimer : UvTimer::Cb {
  std::function<void()> body;
  void handleTimer() override { body(); }
};

// Runs body on the loop thread, then the loop until nothing is left (all writes done).
void runOnLoop(UvLoop& loop, std::function<void()> body) {
  CallbackTimer callback;
  callback.body = std::move(body);
  UvTimer timer(&loop);
  timer.start(0, 0, &callback);
  loop.run();
}

std::string localDate(time_t second) {
  struct tm local {};
  localtime_r(&second, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string padRight(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// Logs one line and returns the line number it was logged from.
// clang-format off
int logWarnSample() {
  UV_LOG("WARN") << "sample " << 7; return __LINE__;  // both on one line on purpose
}
// clang-format on

class UvLogTest : public ::testing::Test {
 protected:
  void TearDown() override { UvLog::reset(); }

  testsupport::TempDir _dir;
  std::string _logPath = _dir.file("test.log");
};

const time_t kSecond = 1700000000;
const UvLog::Time kTime = std::chrono::system_clock::from_time_t(kSecond);

}  // namespace

TEST(UvLogFormat, FileLineColumns) {
  std::string date = localDate(kSecond);
  EXPECT_EQ(
      UvLog::fileLine(kTime + std::chrono::milliseconds(5), "INFO", "/src/p2p/PeerHole.cpp", 42, "~PeerHole", "up"),
      date + ".005  INFO             PeerHole:42   ~PeerHole            up\n");
  // Milliseconds padded, an empty body still makes a whole line.
  EXPECT_EQ(UvLog::fileLine(kTime + std::chrono::milliseconds(42), "1", "a.cpp", 1, "f", ""),
            date + ".042     1                    a:1    f                    \n");
  // Too long for their columns: widened, never cut.
  EXPECT_EQ(
      UvLog::fileLine(kTime, "ERROR", "x/AVeryLongSourceFileNameOver20.cpp", 12345, "aFunctionNameLongerThan20", "b"),
      date + ".000 ERROR AVeryLongSourceFileNameOver20:12345 aFunctionNameLongerThan20 b\n");
}

TEST(UvLogFormat, SourceShownAsLastPartWithoutExtension) {
  auto source = [](const std::string& path) {
    std::string line = UvLog::fileLine(kTime, "INFO", path, 1, "f", "");
    std::string column = line.substr(30, 20);  // after "<date>.mmm LEVEL "
    return column.substr(column.find_first_not_of(' '));
  };
  EXPECT_EQ(source("C:\\src\\net\\Manager.cpp"), "Manager");
  EXPECT_EQ(source("src/dir.d/Makefile"), "Makefile");
  EXPECT_EQ(source("archive.tar.gz"), "archive.tar");
}

TEST(UvLogFormat, ConsoleLineColourAndTail) {
  std::string date = localDate(kSecond);
  EXPECT_EQ(UvLog::consoleLine(kTime, "INFO", "hi"), "\033[32m" + date + " hi\033[0m\n");
  EXPECT_EQ(UvLog::consoleLine(kTime, "WARN", "hi"), "\033[33m" + date + " hi\033[0m\n");
  EXPECT_EQ(UvLog::consoleLine(kTime, "ERROR", "hi"), "\033[91m" + date + " hi\033[0m\n");
  EXPECT_EQ(UvLog::consoleLine(kTime, "FATAL", "hi"), "\033[91m" + date + " hi\033[0m\n");
  EXPECT_EQ(UvLog::consoleLine(kTime, "1", ""), date + " \033[0m\n");
  // An unknown level is taken as INFO, without colour.
  EXPECT_EQ(UvLog::consoleLine(kTime, "NOTICE", "x"), date + " x\033[0m\n");
  EXPECT_EQ(UvLog::levelVerbosity("NOTICE"), 0);
  EXPECT_EQ(UvLog::levelVerbosity("2"), 2);
  EXPECT_EQ(UvLog::levelVerbosity("FATAL"), -3);
}

TEST_F(UvLogTest, MacroEvaluatesOnlyTakenLinesAndNests) {
  UvLog::reset();  // console up to 1, no file
  int evaluated = 0;
  auto value = [&] { return ++evaluated; };
  auto inner = [] {
    UV_LOG("INFO") << "inner";
    return "x";
  };
  bool never = false;
  StdoutCapture capture;
  UV_LOG("2") << "filtered " << value();
  UV_LOG("1") << "trace " << value();
  if (never)
    UV_LOG("INFO") << "then branch";
  else
    UV_LOG("INFO") << "else branch";
  UV_LOG("INFO") << "outer(" << inner() << ")";
  UV_LOG("WARN");
  std::vector<std::string> lines = linesOf(capture.finish());

  EXPECT_EQ(evaluated, 1);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].find(" trace 1\033[0m"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" else branch\033[0m"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" inner\033[0m"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find(" outer(x)\033[0m"), std::string::npos) << lines[3];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex("\033\\[33m[-0-9]{10} [:0-9]{8} \033\\[0m"))) << lines[4];
}

TEST_F(UvLogTest, LevelsReachTheirDestinationsWithTheProgramsSettings) {
  StdoutCapture capture;
  int sampleLine = 0;
  {
    UvLoop loop;
    UvLog::init(&loop, 0, 1, _logPath);
    runOnLoop(loop, [&] {
      for (const char* level : {"1", "2", "INFO", "WARN", "ERROR", "NOTICE"}) UV_LOG(level) << "level-" << level;
      std::thread other([] { UV_LOG("ERROR") << "from another thread"; });
      other.join();
      sampleLine = logWarnSample();
    });
  }
  std::vector<std::string> console = linesOf(capture.finish());
  std::vector<std::string> file = linesOf(testsupport::readFile(_logPath));

  ASSERT_EQ(file.size(), 6u);
  const std::regex head(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  const std::string fileLevels[] = {"1", "INFO", "WARN", "ERROR", "NOTICE"};
  for (int i = 0; i < 5; ++i) {
    const std::string& level = fileLevels[i];
    std::string column = std::string(level.size() < 5 ? 5 - level.size() : 0, ' ') + level;
    std::string tail = " level-" + level;
    EXPECT_TRUE(std::regex_search(file[i], head)) << file[i];
    EXPECT_EQ(file[i].substr(24, column.size()), column) << file[i];
    EXPECT_EQ(file[i].substr(file[i].size() - tail.size()), tail) << file[i];
  }
  EXPECT_EQ(file[5].substr(24), " WARN " + std::string(10, ' ') +
                                    "UvLog_test:" + padRight(std::to_string(sampleLine), 4) + " " +
                                    padRight("logWarnSample", 20) + " sample 7");

  // The other thread's line went straight out, anywhere among the loop thread's lines.
  std::vector<std::string> loopLines;
  int fromOther = 0;
  for (const std::string& line : console) {
    if (line.find(" from another thread\033[0m") != std::string::npos) {
      ++fromOther;
    } else {
      loopLines.push_back(line);
    }
  }
  EXPECT_EQ(fromOther, 1);
  ASSERT_EQ(loopLines.size(), 5u);
  const std::string expected[][2] = {{"\033[32m", " level-INFO\033[0m"},
                                     {"\033[33m", " level-WARN\033[0m"},
                                     {"\033[91m", " level-ERROR\033[0m"},
                                     {"", " level-NOTICE\033[0m"},
                                     {"\033[33m", " sample 7\033[0m"}};
  const std::regex date(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
  for (int i = 0; i < 5; ++i) {
    const std::string& line = loopLines[i];
    const std::string& colour = expected[i][0];
    const std::string& tail = expected[i][1];
    ASSERT_GE(line.size(), colour.size() + 19 + tail.size()) << line;
    EXPECT_EQ(line.substr(0, colour.size()), colour) << line;
    EXPECT_TRUE(std::regex_search(line.substr(colour.size()), date)) << line;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  }
}

TEST_F(UvLogTest, ConcurrentLinesStayWholeAndFileKeepsOrder) {
  const int kLines = 1500;
  // Every 10th line is longer than a pipe writes atomically.
  auto payload = [](int i) { return std::string(i % 10 == 0 ? 6000 : 20 + i % 30, 'x'); };
  StdoutCapture capture;
  {
    UvLoop loop;
    UvLog::init(&loop, 0, 1, _logPath);
    auto writer = [&](const std::string& name) {
      for (int i = 0; i < kLines; ++i) UV_LOG("INFO") << name << " " << i << " " << payload(i);
    };
    std::thread t0(writer, "T0");
    std::thread t1(writer, "T1");
    int next = 0;
    CallbackTimer tick;
    UvTimer timer(&loop);
    tick.body = [&] {
      for (int n = 0; n < 50 && next < kLines; ++n, ++next) UV_LOG("INFO") << "L " << next << " " << payload(next);
      if (next == kLines) timer.stop();
    };
    timer.start(0, 1, &tick);
    loop.run();
    t0.join();
    t1.join();
  }
  std::string console = capture.finish();
  std::string file = testsupport::readFile(_logPath);

  // "<green><date> <name> <i> <payload><reset>", parsed by hand: payloads are long.
  const std::regex head("^\033\\[32m\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d $");
  const std::string reset = "\033[0m";
  std::map<std::string, int> expected{{"T0", 0}, {"T1", 0}, {"L", 0}};
  int broken = 0;
  for (const std::string& line : linesOf(console)) {
    std::istringstream fields(line.size() > 25 ? line.substr(25) : "");
    std::string name, payloadText;
    int i = -1;
    fields >> name >> i >> payloadText;
    bool whole = line.size() > 25 && std::regex_match(line.substr(0, 25), head) && expected.count(name) && i >= 0 &&
                 payloadText == payload(i) + reset;
    if (!whole) {
      ++broken;
      continue;
    }
    EXPECT_EQ(i, expected[name]++) << "out of order for " << name;
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(expected["T0"], kLines);
  EXPECT_EQ(expected["T1"], kLines);
  EXPECT_EQ(expected["L"], kLines);

  std::vector<std::string> fileLines = linesOf(file);
  ASSERT_EQ(fileLines.size(), static_cast<size_t>(kLines));  // nothing from the other threads
  for (int i = 0; i < kLines; ++i) {
    std::string tail = " L " + std::to_string(i) + " " + payload(i);
    ASSERT_GE(fileLines[i].size(), tail.size());
    ASSERT_EQ(fileLines[i].substr(fileLines[i].size() - tail.size()), tail) << "file line " << i;
  }
}

TEST_F(UvLogTest, FailingConsoleIsSwitchedOff) {
  auto oldHandler = std::signal(SIGPIPE, SIG_IGN);
  std::fflush(stdout);
  int saved = ::dup(1);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // nobody reads: writes fail with EPIPE
  ::dup2(fds[1], 1);
  ::close(fds[1]);

  UvLog::reset();
  UV_LOG("INFO") << "synchronous write into a closed pipe";
  int synchronousAfter = UvLog::instance()->consoleVerbosity();

  int asynchronousAfter = 0;
  {
    UvLoop loop;
    UvLog::init(&loop, 0, 1, _logPath);
    runOnLoop(loop, [] { UV_LOG("INFO") << "first"; });
    asynchronousAfter = UvLog::instance()->consoleVerbosity();
    runOnLoop(loop, [] { UV_LOG("INFO") << "second"; });
  }

  // With no standard output at all, the console is off from the start.
  UvLoop loop;  // made first: its own descriptors would fill the gap
  ::close(1);
  UvLog::init(&loop, 0, 1, "");
  int closedVerbosity = UvLog::instance()->consoleVerbosity();

  ::dup2(saved, 1);
  ::close(saved);
  std::signal(SIGPIPE, oldHandler);

  EXPECT_EQ(synchronousAfter, -9999);
  EXPECT_EQ(asynchronousAfter, -9999);
  EXPECT_EQ(closedVerbosity, -9999);
  std::vector<std::string> file = linesOf(testsupport::readFile(_logPath));
  ASSERT_EQ(file.size(), 2u);
  EXPECT_NE(file[0].find(" first"), std::string::npos);
  EXPECT_NE(file[1].find(" second"), std::string::npos);
}

TEST_F(UvLogTest, LinesOutliveTheLoop) {
  const int kPending = 500;
  auto loop = std::make_unique<UvLoop>();
  UvLog::init(loop.get(), 0, 1, _logPath);
  runOnLoop(*loop, [] { UV_LOG("1") << "running"; });
  // This thread ran the loop: its lines are handed to the pool, but no completion can run
  // until the loop is destroyed and drains.
  for (int i = 0; i < kPending; ++i) UV_LOG("1") << "pending " << i;
  loop.reset();
  std::string afterDrain = testsupport::readFile(_logPath);
  UV_LOG("1") << "after the loop";
  StdoutCapture capture;
  std::thread([] { UV_LOG("ERROR") << "another thread"; }).join();
  std::string console = capture.finish();
  std::string afterwards = testsupport::readFile(_logPath);

  std::vector<std::string> lines = linesOf(afterDrain);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kPending + 1));
  for (int i = 0; i < kPending; ++i) {
    std::string tail = " pending " + std::to_string(i);
    ASSERT_EQ(lines[i + 1].substr(lines[i + 1].size() - tail.size()), tail);
  }
  std::vector<std::string> later = linesOf(afterwards.substr(afterDrain.size()));
  ASSERT_EQ(later.size(), 1u);  // written at once, without a loop, and nothing from the other thread
  EXPECT_EQ(later[0].substr(later[0].size() - 15), " after the loop");
  EXPECT_NE(console.find(" another thread\033[0m\n"), std::string::npos);
}

TEST_F(UvLogTest, OpenFailureKeepsThePreviousLogger) {
  UvLog* before = UvLog::instance();
  UvLoop loop;
  try {
    UvLog::init(&loop, 0, 1, _dir.file("missing/test.log"));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "uv_fs_open error " + std::to_string(UV_ENOENT) + " " + uv_strerror(UV_ENOENT));
  }
  EXPECT_EQ(UvLog::instance(), before);
}
