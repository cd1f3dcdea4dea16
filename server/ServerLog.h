#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>

#include "utils/LogBudget.h"

// One line per event on standard output, whole lines only, from any thread.
class ServerLog {
 public:
  static void setVerbose(bool verbose);
  static bool verbose();

  // Writes "<local time> <text>" and flushes, so a watching process sees it at once.
  static void line(const std::string& text);
};

// LogBudget for the server's threads; the next line let through tells how many were held.
class LineBudget {
 public:
  static constexpr int LINES_PER_SECOND = LogBudget::LINES_PER_SECOND;

  // True when a line may be written; `note` is then "" or " (suppressed N)" to end it with.
  bool take(std::string& note);

 private:
  std::mutex mutex;
  LogBudget budget;
};

// Builds one line with stream syntax and writes it when the statement ends.
class LogLine {
 public:
  LogLine() = default;
  ~LogLine() { ServerLog::line(out.str()); }
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  template <typename T>
  LogLine& operator<<(const T& value) {
    out << value;
    return *this;
  }

 private:
  std::ostringstream out;
};

#define SERVER_LOG LogLine()
#define SERVER_TRACE           \
  if (!ServerLog::verbose()) { \
  } else                       \
    LogLine()
