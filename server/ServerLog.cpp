#include "ServerLog.h"

#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

std::atomic<bool> verboseFlag{false};
std::mutex outputMutex;

}  // namespace

void ServerLog::setVerbose(bool verbose) { verboseFlag = verbose; }

bool ServerLog::verbose() { return verboseFlag; }

void ServerLog::line(const std::string& text) {
  timeval now;
  gettimeofday(&now, nullptr);
  tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  const size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(now.tv_usec / 1000));

  std::lock_guard<std::mutex> lock(outputMutex);
  std::fprintf(stdout, "%s %s\n", stamp, text.c_str());
  std::fflush(stdout);
}

bool LineBudget::take(std::string& note) {
  std::lock_guard<std::mutex> lock(mutex);
  uint64_t held = 0;
  if (!budget.take(held)) return false;
  note = held ? " (suppressed " + std::to_string(held) + ")" : std::string();
  return true;
}
