#include "p2p/uv/UvLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "p2p/uv/UvTimer.h"
#include "support/TestSupport.h"

using p2p::UvLog;
using p2p::UvLoop;
using p2p::UvTimer;
using testsupport::readFile;
using testsupport::StdoutCapture;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Runs body on the loop thread, then the loop until nothing is left (all writes done).
void runOnLoop(UvLoop& loop, std::function<void()> body) {
  struct Once : UvTimer::Cb {
    std::function<void()> body;
    void handleTimer() override { body(); }
  } once;
  once.body = std::move(body);
  UvTimer timer(&loop);
  timer.start(0, 0, &once);
  loop.run();
}

// clang-format off
int logWarnSample() {
  UV_LOG("WARN") << "sample " << 7; return __LINE__;  // one line: gives the line logged from
}
// clang-format on

class UvLogTest : public ::testing::Test {
 protected:
  void TearDown() override { UvLog::reset(); }

  testsupport::TempDir _dir;
  std::string _logPath = _dir.file("test.log");
};

}  // namespace

TEST_F(UvLogTest, LevelsReachTheirDestinationsWithTheProgramsSettings) {
  StdoutCapture capture;
  int sampleLine = 0, evaluated = 0;
  auto mark = [&] { return ++evaluated, ""; };
  {
    UvLoop loop;
    UvLog::init(&loop, 0, 1, _logPath);
    UV_LOG("1") << "before the loop";  // building the engine: the file takes it too
    std::thread([] { UV_LOG("1") << "other thread before the loop"; }).join();
    runOnLoop(loop, [&] {
      for (const char* level : {"1", "2", "INFO", "WARN", "ERROR", "NOTICE"})
        UV_LOG(level) << "level-" << level << mark();
      std::thread([] { UV_LOG("1") << "other thread"; }).join();  // the file takes the loop thread's only
      UV_LOG("INFO") << "outer(" << [] {
        UV_LOG("INFO") << "inner";
        return "x";
      }() << ")";  // made meanwhile
      sampleLine = logWarnSample();
    });
  }
  EXPECT_EQ(evaluated, 5);  // "2" is taken by neither destination: its values are not made

  // The file: levels up to 1, in order; "<date>.mmm " is 24 characters.
  std::vector<std::string> file = linesOf(readFile(_logPath));
  const std::vector<std::string> fileTails = {"before the loop", "level-1", "level-INFO", "level-WARN",
                                              "level-ERROR",     "level-NOTICE", "inner",  "outer(x)"};
  ASSERT_EQ(file.size(), fileTails.size() + 1);
  for (size_t i = 0; i < fileTails.size(); ++i) EXPECT_TRUE(endsWith(file[i], " " + fileTails[i])) << file[i];
  char sampleColumns[64];
  std::snprintf(sampleColumns, sizeof sampleColumns, " WARN           UvLog_test:%-4d %-20s sample 7", sampleLine,
                "logWarnSample");
  EXPECT_EQ(file.back().substr(24), sampleColumns);

  // The console: levels up to 0, coloured, "<date> " 20 characters.
  const std::vector<std::pair<std::string, std::string>> consoleLines = {
      {"\033[32m", "level-INFO"}, {"\033[33m", "level-WARN"}, {"\033[91m", "level-ERROR"}, {"", "level-NOTICE"},
      {"\033[32m", "inner"},      {"\033[32m", "outer(x)"},   {"\033[33m", "sample 7"}};
  std::vector<std::string> console = linesOf(capture.finish());
  ASSERT_EQ(console.size(), consoleLines.size());
  for (size_t i = 0; i < console.size(); ++i) {
    const auto& [colour, tail] = consoleLines[i];
    EXPECT_EQ(console[i], colour + console[i].substr(colour.size(), 20) + tail + "\033[0m");
  }
}

TEST_F(UvLogTest, ConcurrentLinesStayWholeAndFileKeepsOrder) {
  const int kLines = 1500;
  // Every 10th line is longer than a pipe takes atomically.
  auto payload = [](int i) { return std::string(i % 10 == 0 ? 6000 : 20 + i % 30, 'x'); };
  StdoutCapture capture;
  {
    UvLoop loop;
    UvLog::init(&loop, 0, 1, _logPath);
    auto writer = [&](const std::string& name) {
      for (int i = 0; i < kLines; ++i) UV_LOG("INFO") << name << " " << i << " " << payload(i);
    };
    std::thread t0(writer, "T0"), t1(writer, "T1");
    runOnLoop(loop, [&] {
      for (int i = 0; i < kLines; ++i) UV_LOG("INFO") << "L " << i << " " << payload(i);
    });
    t0.join();
    t1.join();
  }

  // "<green><date> <name> <i> <payload><reset>", each writer's lines in its order.
  std::map<std::string, int> expected{{"T0", 0}, {"T1", 0}, {"L", 0}};
  for (const std::string& line : linesOf(capture.finish())) {
    std::istringstream fields(line.size() > 25 ? line.substr(25) : "");
    std::string name;
    int i = -1;
    fields >> name >> i;
    auto next = expected.find(name);
    ASSERT_TRUE(next != expected.end() && i == next->second &&
                line == "\033[32m" + line.substr(5, 19) + " " + name + " " + std::to_string(i) + " " + payload(i) +
                            "\033[0m")
        << line.substr(0, 60);
    ++next->second;
  }
  EXPECT_EQ(expected, (std::map<std::string, int>{{"T0", kLines}, {"T1", kLines}, {"L", kLines}}));

  std::vector<std::string> fileLines = linesOf(readFile(_logPath));
  ASSERT_EQ(fileLines.size(), static_cast<size_t>(kLines));  // nothing from the other threads
  for (int i = 0; i < kLines; ++i) {
    ASSERT_TRUE(endsWith(fileLines[i], " L " + std::to_string(i) + " " + payload(i))) << "file line " << i;
  }
}

TEST_F(UvLogTest, FailingConsoleIsSwitchedOff) {
  auto oldHandler = std::signal(SIGPIPE, SIG_IGN);
  StdoutCapture nobodyReads(true);

  std::vector<int> after;  // the console's verbosity after each failure
  UvLog::reset();
  UV_LOG("INFO") << "synchronous write into a closed pipe";
  after.push_back(UvLog::instance()->consoleVerbosity());
  {
    UvLoop loop;
    UvLog::init(&loop, 0, 1, _logPath);
    runOnLoop(loop, [] { UV_LOG("INFO") << "first"; });
    after.push_back(UvLog::instance()->consoleVerbosity());
    runOnLoop(loop, [] { UV_LOG("INFO") << "second"; });
  }
  UvLoop loop;  // made first: its own descriptors would fill the gap
  ::close(1);   // no standard output at all: the console is off from the start
  UvLog::init(&loop, 0, 1, "");
  after.push_back(UvLog::instance()->consoleVerbosity());
  nobodyReads.finish();
  std::signal(SIGPIPE, oldHandler);

  EXPECT_EQ(after, (std::vector<int>{-9999, -9999, -9999}));
  std::vector<std::string> file = linesOf(readFile(_logPath));  // the file goes on regardless
  ASSERT_EQ(file.size(), 2u);
  EXPECT_TRUE(endsWith(file[0], " first") && endsWith(file[1], " second"));
}

TEST_F(UvLogTest, LinesOutliveTheLoop) {
  const int kPending = 500;
  auto loop = std::make_unique<UvLoop>();
  UvLog::init(loop.get(), 0, 1, _logPath);
  runOnLoop(*loop, [] { UV_LOG("1") << "running"; });
  // This thread ran the loop: its lines go to the pool, but no completion can run until the
  // loop is destroyed and drains.
  for (int i = 0; i < kPending; ++i) UV_LOG("1") << "pending " << i;
  loop.reset();
  std::string afterDrain = readFile(_logPath);
  UV_LOG("1") << "after the loop";
  std::thread([] { UV_LOG("1") << "another thread"; }).join();

  std::vector<std::string> lines = linesOf(afterDrain);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kPending + 1));
  for (int i = 0; i < kPending; ++i) ASSERT_TRUE(endsWith(lines[i + 1], " pending " + std::to_string(i)));
  // Written at once, without a loop; nothing from the other thread.
  std::vector<std::string> later = linesOf(readFile(_logPath).substr(afterDrain.size()));
  ASSERT_EQ(later.size(), 1u);
  EXPECT_TRUE(endsWith(later[0], " after the loop"));
}

TEST_F(UvLogTest, OpenFailureKeepsThePreviousLogger) {
  UvLog* before = UvLog::instance();
  UvLoop loop;
  EXPECT_EQ(testsupport::failureOf([&] { UvLog::init(&loop, 0, 1, _dir.file("missing/test.log")); }),
            "uv_fs_open error " + std::to_string(UV_ENOENT) + " " + uv_strerror(UV_ENOENT));
  EXPECT_EQ(UvLog::instance(), before);
}
