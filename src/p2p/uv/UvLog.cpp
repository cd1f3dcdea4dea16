#include "p2p/uv/UvLog.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

namespace p2p {

namespace {

constexpr int kConsoleOff = -9999;
constexpr int kNoFile = -100;
constexpr int kDefaultConsoleVerbosity = 1;
constexpr int kStdout = 1;
constexpr size_t kMaxQueued = 8 << 20;  // bytes of lines waiting behind a write in flight

struct Level {
  std::string_view name;
  int number;
  std::string_view color;
};

constexpr Level kLevels[] = {
    {"3", 3, ""},
    {"2", 2, ""},
    {"1", 1, ""},
    {"INFO", 0, "\033[32m"},
    {"WARN", -1, "\033[33m"},
    {"ERROR", -2, "\033[91m"},
    {"FATAL", -3, "\033[91m"},
};

// A fixed table, looked up without inserting: threads read it without a lock.
const Level* findLevel(std::string_view name) {
  for (const Level& level : kLevels) {
    if (level.name == name) return &level;
  }
  return nullptr;
}

// "%Y-%m-%d %H:%M:%S" in local time, formatted once per second and thread.
std::string_view dateText(time_t second) {
  struct Cache {
    time_t second;
    size_t size;
    char text[48];
  };
  thread_local Cache cache{-1, 0, {}};
  if (cache.second != second || cache.size == 0) {
    struct tm local {};
    localtime_r(&second, &local);
    cache.size = std::strftime(cache.text, sizeof cache.text, "%Y-%m-%d %H:%M:%S", &local);
    cache.second = second;
  }
  return {cache.text, cache.size};
}

void splitTime(UvLog::Time time, time_t& second, int& millisecond) {
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  long long rest = ms % 1000;
  if (rest < 0) rest += 1000;
  second = static_cast<time_t>((ms - rest) / 1000);
  millisecond = static_cast<int>(rest);
}

void appendRight(std::string& out, std::string_view text, size_t width) {
  if (text.size() < width) out.append(width - text.size(), ' ');
  out += text;
}

void appendLeft(std::string& out, std::string_view text, size_t width) {
  out += text;
  if (text.size() < width) out.append(width - text.size(), ' ');
}

// "src/p2p/PeerHole.cpp" -> "PeerHole".
std::string_view baseName(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  size_t dot = path.rfind('.');
  if (dot != std::string_view::npos) path = path.substr(0, dot);
  return path;
}

// Writes all of data, going on after partial writes; 0 or the errno of the failure.
int writeAll(int fd, const char* data, size_t size) noexcept {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<size_t>(written);
    } else if (written == 0) {
      return EIO;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Someone made the descriptor non-blocking: wait until it takes more.
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return errno;
    } else {
      return errno;
    }
  }
  return 0;
}

}  // namespace

// One destination: a descriptor, the lines queued behind the write in flight, and the lock
// that keeps every write to the descriptor whole. Shared with the write in flight, so that it
// outlives a logger replaced meanwhile.
class UvLog::LogDestination : public std::enable_shared_from_this<LogDestination> {
 public:
  LogDestination(int fd, int verbosity, bool ownsFd, bool offOnError)
      : verbosity(verbosity), _fd(fd), _ownsFd(ownsFd), _offOnError(offOnError) {}

  ~LogDestination() {
    if (_ownsFd) ::close(_fd);
  }

  bool takes(int number) const { return number <= verbosity.load(std::memory_order_relaxed); }

  // Any thread: writes the text at once.
  void writeNow(const std::string& text) noexcept {
    if (writeLocked(text) != 0) fail();
  }

  // The loop thread: with a loop, the text is written by the thread pool; without one (the
  // loop has gone), at once. Either way it waits behind a write still in flight.
  void writeInOrder(std::string text, uv_loop_t* loop) {
    if (_failed) return;
    {
      std::lock_guard<std::mutex> lock(_queueLock);
      if (_writing) {
        queue(text);
        return;
      }
      if (loop && !_synchronous) {
        _writing = true;
      } else {
        loop = nullptr;
      }
    }
    if (loop) {
      writeStream(loop, std::move(text));
    } else {
      writeNow(text);
    }
  }

  // The loop is going: from now on nothing uses it; a write in flight finishes in its drain.
  void toSynchronous() {
    std::lock_guard<std::mutex> lock(_queueLock);
    _synchronous = true;
  }

  std::atomic<int> verbosity;

 private:
  struct Batch {
    std::shared_ptr<LogDestination> destination;
    std::string text;
    int error;
  };

  // Hands text to the thread pool; _writing is already set.
  void writeStream(uv_loop_t* loop, std::string text) {
    auto* request = allocUv<uv_work_t>();
    request->data = new Batch{shared_from_this(), std::move(text), 0};
    int status = uv_queue_work(loop, request, onWork, onWritten);
    if (status != 0) {
      // Only a bad argument fails here; write the text now rather than lose it.
      auto* batch = static_cast<Batch*>(request->data);
      int error = writeLocked(batch->text);
      delete batch;
      std::free(request);
      continueAfter(nullptr, error);
    }
  }

  static void onWork(uv_work_t* request) {
    auto* batch = static_cast<Batch*>(request->data);
    batch->error = batch->destination->writeLocked(batch->text);
  }

  static void onWritten(uv_work_t* request, int) {
    auto* batch = static_cast<Batch*>(request->data);
    UvLoop::guard(request->loop, [&] { batch->destination->continueAfter(request->loop, batch->error); });
    delete batch;
    std::free(request);
  }

  // After a write: the next batch of queued lines goes out, through the pool while the loop
  // is there, else at once.
  void continueAfter(uv_loop_t* loop, int error) {
    if (error != 0) fail();
    for (;;) {
      std::string next;
      {
        std::lock_guard<std::mutex> lock(_queueLock);
        if (_queued.empty() || _failed) {
          _queued.clear();
          _writing = false;
          return;
        }
        next.swap(_queued);
        if (_synchronous) loop = nullptr;
      }
      if (loop) {
        writeStream(loop, std::move(next));
        return;
      }
      writeNow(next);
    }
  }

  // Called with _queueLock held. A destination that stopped taking lines (a stdout pipe nobody
  // reads) must not make the log grow without bound: past the cap, lines are counted, not kept.
  void queue(const std::string& text) {
    if (_queued.size() + text.size() > kMaxQueued) {
      ++_dropped;
      return;
    }
    if (_dropped > 0) {
      _queued += "(" + std::to_string(_dropped) + " log lines dropped)\n";
      _dropped = 0;
    }
    _queued += text;
  }

  int writeLocked(const std::string& text) noexcept {
    if (_failed) return 0;
    std::lock_guard<std::mutex> lock(_writeLock);
    return writeAll(_fd, text.data(), text.size());
  }

  void fail() {
    if (!_offOnError) return;  // a log file that cannot be written is no reason to stop
    _failed = true;
    verbosity = kConsoleOff;
  }

  const int _fd;
  const bool _ownsFd;
  const bool _offOnError;
  std::atomic<bool> _failed{false};
  std::mutex _writeLock;  // held around every write to _fd
  std::mutex _queueLock;  // guards the three below
  std::string _queued;    // whole lines waiting for the write in flight
  size_t _dropped = 0;    // lines refused since the queue was full
  bool _writing = false;  // a write is in flight or being continued
  bool _synchronous = false;
};

std::atomic<UvLog*> UvLog::_singleton{nullptr};

UvLog::UvLog()
    : Resident(nullptr),
      _console(std::make_shared<LogDestination>(kStdout, kDefaultConsoleVerbosity, false, true)),
      _loop(nullptr) {}

UvLog::UvLog(UvLoop* loop, int consoleVerbosity, int fileVerbosity, const std::string& fileName)
    : Resident(loop), _loop(loop), _loopThread(std::this_thread::get_id()) {
  // Looked at before the file is opened, which could otherwise take a free descriptor 1.
  bool haveStdout = ::fcntl(kStdout, F_GETFD) != -1;
  _console = std::make_shared<LogDestination>(kStdout, haveStdout ? consoleVerbosity : kConsoleOff, false, true);
  if (!fileName.empty()) {
    uv_fs_t request;
    int fd = uv_fs_open(loop ? loop->uvLoop() : nullptr, &request, fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT,
                        0644, nullptr);
    uv_fs_req_cleanup(&request);
    checkStatus("uv_fs_open", fd < 0 ? fd : 0);
    _file = std::make_shared<LogDestination>(fd, fileVerbosity, true, false);
  }
}

UvLog::~UvLog() = default;

namespace {

// Replaced loggers live on until exit: another thread may still be finishing a line on one.
struct Retired {
  std::mutex lock;
  std::vector<std::unique_ptr<UvLog>> loggers;
};

Retired& retired() {
  static Retired instance;
  return instance;
}

}  // namespace

void UvLog::replace(UvLog* fresh) {
  UvLog* old = _singleton.exchange(fresh);
  if (!old) return;
  Retired& list = retired();
  std::lock_guard<std::mutex> lock(list.lock);
  list.loggers.emplace_back(old);
}

void UvLog::init(UvLoop* loop, int consoleVerbosity, int fileVerbosity, const std::string& fileName) {
  replace(new UvLog(loop, consoleVerbosity, fileVerbosity, fileName));
}

void UvLog::reset() { replace(new UvLog()); }

UvLog* UvLog::instance() {
  UvLog* log = _singleton.load();
  if (log) return log;
  auto* fresh = new UvLog();
  if (_singleton.compare_exchange_strong(log, fresh)) return fresh;
  delete fresh;
  return log;
}

int UvLog::levelVerbosity(std::string_view level) {
  const Level* known = findLevel(level);
  return known ? known->number : 0;
}

std::string_view UvLog::levelColor(std::string_view level) {
  const Level* known = findLevel(level);
  return known ? known->color : std::string_view();
}

int UvLog::consoleVerbosity() const { return _console->verbosity; }

int UvLog::fileVerbosity() const { return _file ? _file->verbosity.load() : kNoFile; }

std::string UvLog::consoleLine(Time time, std::string_view level, std::string_view body) {
  time_t second;
  int millisecond;
  splitTime(time, second, millisecond);
  std::string_view color = levelColor(level);
  std::string_view date = dateText(second);
  std::string line;
  line.reserve(color.size() + date.size() + body.size() + 6);
  line += color;
  line += date;
  line += ' ';
  line += body;
  line += "\033[0m\n";
  return line;
}

std::string UvLog::fileLine(Time time, std::string_view level, std::string_view sourceFile, int line,
                            std::string_view function, std::string_view body) {
  time_t second;
  int millisecond;
  splitTime(time, second, millisecond);
  char milliText[8];
  std::snprintf(milliText, sizeof milliText, ".%03d ", millisecond);
  std::string lineNumber = std::to_string(line);
  std::string_view date = dateText(second);
  std::string text;
  text.reserve(date.size() + 60 + function.size() + body.size());
  text += date;
  text += milliText;
  appendRight(text, level, 5);
  text += ' ';
  appendRight(text, baseName(sourceFile), 20);
  text += ':';
  appendLeft(text, lineNumber, 4);
  text += ' ';
  appendLeft(text, function, 20);
  text += ' ';
  text += body;
  text += '\n';
  return text;
}

UvLog::Place UvLog::place(uv_loop_t** uvLoop) {
  std::lock_guard<std::mutex> lock(_stateLock);
  if (_loop) {
    // Until the loop first runs, the thread that set the log up is the one that will run it:
    // what it logs while building the engine belongs in the file too.
    const bool beforeFirstRun = !_loop->hasRun() && _loopThread == std::this_thread::get_id();
    if (!_loop->executingOnLoop() && !beforeFirstRun) return Place::kOtherThread;
    _loopThread = std::this_thread::get_id();
    if (uvLoop) *uvLoop = _loop->uvLoop();
    return Place::kLoopThread;
  }
  return _loopThread == std::this_thread::get_id() ? Place::kLoopThreadAfterLoop : Place::kOtherThread;
}

bool UvLog::startLog(UvLogWrap& wrap, std::string_view level, const char* file, int line, const char* func) {
  int number = levelVerbosity(level);
  bool toConsole = _console->takes(number);
  bool toFile = _file && _file->takes(number);
  if (!toConsole && !toFile) return false;  // the common case stays free of locks
  if (toFile && place(nullptr) == Place::kOtherThread) toFile = false;
  if (!toConsole && !toFile) return false;
  wrap._toConsole = toConsole;
  wrap._toFile = toFile;
  wrap._level.assign(level);
  wrap._file = file;
  wrap._line = line;
  wrap._func = func;
  wrap._time = std::chrono::system_clock::now();
  wrap._body.emplace();
  return true;
}

void UvLog::endLog(UvLogWrap& wrap) noexcept {
  try {
    std::string body = wrap._body->str();
    uv_loop_t* uvLoop = nullptr;
    Place where = place(&uvLoop);
    if (wrap._toConsole) {
      std::string line = consoleLine(wrap._time, wrap._level, body);
      if (where == Place::kOtherThread) {
        _console->writeNow(line);
      } else {
        _console->writeInOrder(std::move(line), uvLoop);
      }
    }
    if (wrap._toFile && where != Place::kOtherThread) {
      _file->writeInOrder(fileLine(wrap._time, wrap._level, wrap._file, wrap._line, wrap._func, body), uvLoop);
    }
  } catch (...) {
    // Out of memory while logging: the line is lost, the caller goes on.
  }
}

void UvLog::onLoopClosing() {
  {
    std::lock_guard<std::mutex> lock(_stateLock);
    if (_loop && _loop->executingOnLoop()) _loopThread = std::this_thread::get_id();
    _loop = nullptr;
  }
  _console->toSynchronous();
  if (_file) _file->toSynchronous();
}

UvLogWrap::UvLogWrap(std::string_view level, const char* file, int line, const char* func)
    : doLog(false), _log(UvLog::instance()) {
  try {
    _taken = _log->startLog(*this, level, file, line, func);
  } catch (...) {
    _taken = false;  // a line that cannot even start is dropped, never thrown at the caller
  }
  doLog = _taken;
}

UvLogWrap::~UvLogWrap() {
  if (_taken) _log->endLog(*this);
}

}  // namespace p2p
