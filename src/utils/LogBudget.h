#pragma once

#include <chrono>
#include <cstdint>

// Lets one kind of log line through at most `lines` times per `period` (by default
// LINES_PER_SECOND a second), so that a flood of junk from the network cannot fill the log, and
// counts the lines held back. One thread at a time.
class LogBudget {
 public:
  static constexpr int LINES_PER_SECOND = 10;

  explicit LogBudget(int lines = LINES_PER_SECOND,
                     std::chrono::steady_clock::duration period = std::chrono::seconds(1))
      : lines(lines), period(period) {}

  // True when a line may be written; `suppressed` then says how many were held back before it.
  bool take(uint64_t& suppressed) {
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart >= period) {
      windowStart = now;
      used = 0;
    }
    if (used >= lines) {
      ++held;
      return false;
    }
    ++used;
    suppressed = held;
    held = 0;
    return true;
  }

 private:
  int lines;
  std::chrono::steady_clock::duration period;
  std::chrono::steady_clock::time_point windowStart{};
  int used = 0;
  uint64_t held = 0;
};
