// The process-wide log: every line goes to the console (standard output) and, from the loop
// thread only, to a log file, each destination with its own verbosity and line format.
//
//   UV_LOG("INFO") << "connected to " << address;
//
// The line is built inside the statement's own UvLogWrap, so threads never share a line in
// the making; the logger only receives finished lines. On the loop thread finished lines are
// queued and written by the libuv thread pool, one write in flight per destination; other
// threads write the console synchronously. Each write holds whole lines only.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "p2p/uv/UvLoop.h"

namespace p2p {

class UvLogWrap;

class UvLog : public UvLoop::Resident {
 public:
  using Time = std::chrono::system_clock::time_point;
  class LogDestination;

  // The default logger: console only, levels up to 1, written synchronously.
  UvLog();
  // Throws the checkStatus text for "uv_fs_open" when fileName cannot be opened.
  UvLog(UvLoop* loop, int consoleVerbosity, int fileVerbosity, const std::string& fileName);
  ~UvLog() override;

  // Makes a new logger the one all code writes to. Call on the loop thread before the loop
  // runs. On failure the previous logger stays.
  static void init(UvLoop* loop, int consoleVerbosity, int fileVerbosity, const std::string& fileName);

  // The logger all code writes to.
  static UvLog* instance();

  // Puts a fresh default logger in place (tests).
  static void reset();

  // The level's number (smaller is more severe); an unknown level counts as 0.
  static int levelVerbosity(std::string_view level);
  // The level's console colour; empty for levels without one.
  static std::string_view levelColor(std::string_view level);

  // The finished text of a line for each destination, line feed included.
  static std::string consoleLine(Time time, std::string_view level, std::string_view body);
  static std::string fileLine(Time time, std::string_view level, std::string_view sourceFile, int line,
                              std::string_view function, std::string_view body);

  // -9999 once the console is off (no standard output, or a write to it failed).
  int consoleVerbosity() const;
  // -100 without a log file.
  int fileVerbosity() const;

  // Decides which destinations take the wrap's line; false when none does.
  bool startLog(UvLogWrap& wrap, std::string_view level, const char* file, int line, const char* func);
  // Formats the finished line and hands it to its destinations. Never throws.
  void endLog(UvLogWrap& wrap) noexcept;

 protected:
  void onLoopClosing() override;

 private:
  enum class Place { kOtherThread, kLoopThread, kLoopThreadAfterLoop };

  // Where the caller stands; on the running loop's thread also gives the libuv loop.
  Place place(uv_loop_t** uvLoop);
  static void replace(UvLog* fresh);

  std::shared_ptr<LogDestination> _console;
  std::shared_ptr<LogDestination> _file;  // null without a log file

  std::mutex _stateLock;  // guards _loop and _loopThread
  UvLoop* _loop;          // null before init and once the loop has gone
  // The thread that last ran the loop, as far as seen; after the loop has gone it is the
  // only thread whose lines still reach the file.
  std::thread::id _loopThread;

  static std::atomic<UvLog*> _singleton;
};

// The line of one UV_LOG statement, from its head to its end.
class UvLogWrap {
 public:
  UvLogWrap(std::string_view level, const char* file, int line, const char* func);
  ~UvLogWrap();
  UvLogWrap(const UvLogWrap&) = delete;
  UvLogWrap& operator=(const UvLogWrap&) = delete;

  // Only valid while doLog is true.
  std::ostream& logStream() { return *_body; }

  // True while the body is still to be streamed; the macro clears it after one pass.
  bool doLog;

 private:
  friend class UvLog;

  UvLog* _log;  // the logger that took the head also gets the end, even if init runs between
  bool _taken = false;
  bool _toConsole = false;
  bool _toFile = false;
  std::string _level;
  const char* _file = nullptr;
  int _line = 0;
  const char* _func = nullptr;
  UvLog::Time _time;
  std::optional<std::ostringstream> _body;  // made only for a line that is taken
};

}  // namespace p2p

// A statement: UV_LOG("WARN") << values...; the values are not evaluated when no destination
// takes the line. The for-form makes it a single statement that is safe in if/else.
#define UV_LOG(level)                                                                                                \
  for (::p2p::UvLogWrap _uvLogWrap(level, __FILE__, __LINE__, __func__); _uvLogWrap.doLog; _uvLogWrap.doLog = false) \
  _uvLogWrap.logStream()
