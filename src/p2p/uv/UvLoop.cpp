#include "p2p/uv/UvLoop.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "p2p/uv/UvLog.h"
#include "platform/Platform.h"

namespace p2p {

void checkStatus(const std::string& name, int status) {
  if (status == 0) return;
  throw std::runtime_error(name + " error " + std::to_string(status) + " " + uv_strerror(status));
}

void printStatus(const std::string& name, int status) {
  std::printf("%s error %d %s\n", name.c_str(), status, uv_strerror(status));
  std::fflush(stdout);
}

void freeOnClose(uv_handle_t* handle) { std::free(handle); }

void closeAndFree(uv_handle_t* handle) {
  if (!handle || uv_is_closing(handle)) return;
  handle->data = nullptr;
  uv_close(handle, freeOnClose);
}

// ---- Resident ----

UvLoop::Resident::Resident(UvLoop* loop) : _residentLoop(loop) {
  if (!loop) return;
  std::lock_guard<std::mutex> lock(loop->_residentsLock);
  loop->_residents.insert(this);
}

UvLoop::Resident::~Resident() {
  if (!_residentLoop) return;
  std::lock_guard<std::mutex> lock(_residentLoop->_residentsLock);
  _residentLoop->_residents.erase(this);
}

// ---- UvLoop ----

namespace {

// libuv sizes its pool from UV_THREADPOOL_SIZE when the pool first starts, so the variable is
// set once, before the first loop exists: one pool thread per processor, but never fewer than
// libuv's own four, since log writes, file requests and HTTP transfers all share the pool.
constexpr long kMaxPoolThreads = 1024;  // libuv's own bound

unsigned poolThreads = 0;

void sizeThreadPool() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string threads = std::to_string(std::max(4u, platform::processorCount()));
    setenv("UV_THREADPOOL_SIZE", threads.c_str(), 0);  // an explicit setting wins
    // Read back the way libuv reads it.
    const long asked = std::atol(std::getenv("UV_THREADPOOL_SIZE"));
    poolThreads = static_cast<unsigned>(asked == 0 ? 1 : (asked < 0 || asked > kMaxPoolThreads) ? kMaxPoolThreads : asked);
  });
}

}  // namespace

unsigned UvLoop::threadPoolSize() {
  sizeThreadPool();
  return poolThreads;
}

UvLoop::UvLoop(Clock clock)
    : _loop(allocUv<uv_loop_t>()), _stopSignal(nullptr), _reaper(nullptr), _clock(std::move(clock)) {
  sizeThreadPool();
  int status = uv_loop_init(_loop);
  if (status != 0) {
    std::free(_loop);
    checkStatus("uv_loop_init", status);
  }
  _loop->data = this;
  // Registered in advance: only uv_async_send may be called from another thread.
  _stopSignal = allocUv<uv_async_t>();
  status = uv_async_init(_loop, _stopSignal, onStopSignal);
  if (status != 0) {
    std::free(_stopSignal);
    uv_loop_close(_loop);
    std::free(_loop);
    checkStatus("uv_async_init", status);
  }
  uv_unref(reinterpret_cast<uv_handle_t*>(_stopSignal));  // a stop signal is no reason to keep running
}

UvLoop::~UvLoop() {
  _closing = true;
  _posted.clear();
  closeAndFree(reinterpret_cast<uv_handle_t*>(_stopSignal));
  closeAndFree(reinterpret_cast<uv_handle_t*>(_reaper));
  // Objects waiting for deletion go first, while the loop still works for their destructors.
  // Then close whatever is left, let close callbacks and pool work finish, until libuv agrees.
  // A completion running in these rounds may create a resident or hand something to
  // deleteSoon, so both are dealt with each round.
  do {
    runDeletions();
    closeResidents();
    closeRemainingHandles();
    uv_run(_loop, UV_RUN_DEFAULT);
  } while (!_doomed.empty() || uv_loop_close(_loop) == UV_EBUSY);
  closeResidents();
  if (_kept) {
    try {
      std::rethrow_exception(_kept);
    } catch (const std::exception& e) {
      std::printf("exception while closing the loop: %s\n", e.what());
    } catch (...) {
      std::printf("exception while closing the loop\n");
    }
  }
  std::free(_loop);
}

void UvLoop::deferDeletion(std::function<void()> deleter) {
  _doomed.push_back(std::move(deleter));
  if (_closing || _doomed.size() + _posted.size() > 1) return;  // already due, or the destructor runs them
  startReaper();
}

void UvLoop::post(std::function<void()> work) {
  if (_closing) return;
  _posted.push_back(std::move(work));
  if (_doomed.size() + _posted.size() > 1) return;  // the reaper is already due
  startReaper();
}

void UvLoop::startReaper() {
  if (!_reaper) {  // made on first use: most loops never need it
    _reaper = allocUv<uv_timer_t>();
    uv_timer_init(_loop, _reaper);  // cannot fail on an initialised loop
    _reaper->data = this;
  }
  checkStatus("uv_timer_start", uv_timer_start(_reaper, onReaper, 0, 0));
}

void UvLoop::flushDeletions() {
  while (!_doomed.empty()) runDeletions();
  if (_reaper && !_closing) uv_timer_stop(_reaper);
}

void UvLoop::onReaper(uv_timer_t* handle) {
  auto* loop = static_cast<UvLoop*>(handle->data);
  loop->runDeletions();
}

// Posted work first, then the deletions: work posted by an object that is to go runs while it
// is still there (and finds it alive by its own watch). What either posts meanwhile waits for
// the next turn.
void UvLoop::runDeletions() {
  std::vector<std::function<void()>> work, batch;
  work.swap(_posted);
  for (auto& f : work) guard(f);
  batch.swap(_doomed);
  for (auto& deleter : batch) guard(deleter);
  if (!_closing && (!_doomed.empty() || !_posted.empty())) startReaper();
}

void UvLoop::closeResidents() {
  std::vector<Resident*> residents;
  {
    std::lock_guard<std::mutex> lock(_residentsLock);
    residents.assign(_residents.begin(), _residents.end());
    _residents.clear();
  }
  for (Resident* resident : residents) {
    resident->_residentLoop = nullptr;
    resident->onLoopClosing();
  }
}

namespace {

std::mutex strayLock;
UvLoop::StrayHandles strays;  // guarded by strayLock

void countStray(const uv_handle_t* handle) {
  std::lock_guard<std::mutex> lock(strayLock);
  ++strays.count;
  strays.lastType = uv_handle_type_name(handle->type);
}

}  // namespace

UvLoop::StrayHandles UvLoop::strayHandles() {
  std::lock_guard<std::mutex> lock(strayLock);
  return strays;
}

// What is still open now was left so by its owner: every resident has closed its handles.
void UvLoop::closeRemainingHandles() {
  uv_walk(
      _loop,
      [](uv_handle_t* handle, void*) {
        if (uv_is_closing(handle)) return;
        countStray(handle);
        closeAndFree(handle);
      },
      nullptr);
}

int UvLoop::run() {
  _loopThread = std::this_thread::get_id();
  int result = uv_run(_loop, UV_RUN_DEFAULT);
  if (_kept) {
    std::exception_ptr kept = _kept;
    _kept = nullptr;
    std::rethrow_exception(kept);
  }
  return result;
}

void UvLoop::stop() {
  if (executingOnLoop()) {
    uv_stop(_loop);
    return;
  }
  checkStatus("uv_async_send", uv_async_send(_stopSignal));
}

void UvLoop::onStopSignal(uv_async_t* handle) { uv_stop(handle->loop); }

bool UvLoop::executingOnLoop() const { return _loopThread.load() == std::this_thread::get_id(); }

void UvLoop::keepException(std::exception_ptr e) {
  if (!_kept) {
    _kept = e;
  } else {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& later) {
      UV_LOG("ERROR") << "further exception dropped: " << later.what();
    } catch (...) {
      UV_LOG("ERROR") << "further exception dropped";
    }
  }
  uv_stop(_loop);
}

uint64_t UvLoop::now() const { return _clock ? _clock() : uv_now(_loop); }

namespace {

struct PoolWork {
  uv_work_t request;
  std::function<void()>* function;
  std::string failure;  // set on the pool thread, read by the completion on the loop thread
};

void runOnPool(uv_work_t* request) {
  auto* work = reinterpret_cast<PoolWork*>(request);
  std::unique_ptr<std::function<void()>> function(work->function);
  work->function = nullptr;
  try {
    (*function)();
  } catch (const std::exception& e) {
    work->failure = e.what();
    if (work->failure.empty()) work->failure = "exception";
  } catch (...) {
    work->failure = "unknown exception";
  }
}

void afterPoolWork(uv_work_t* request, int) {
  auto* work = reinterpret_cast<PoolWork*>(request);
  if (!work->failure.empty()) UV_LOG("ERROR") << "executeAsync: " << work->failure;
  delete work;
}

}  // namespace

void UvLoop::executeAsync(std::function<void()>* f) {
  auto* work = new PoolWork{};
  work->function = f;
  int status = uv_queue_work(_loop, &work->request, runOnPool, afterPoolWork);
  if (status != 0) {
    delete work;
    delete f;
    checkStatus("uv_queue_work", status);
  }
}

OnLoopExecutor* UvLoop::newOnLoopExecutor() { return new OnLoopExecutor(_loop); }

// ---- OnLoopExecutor ----

OnLoopExecutor::OnLoopExecutor(uv_loop_t* loop) : Resident(UvLoop::from(loop)), _handle(allocUv<uv_async_t>()) {
  int status = uv_async_init(loop, _handle, onSignal);
  if (status != 0) {
    std::free(_handle);
    _handle = nullptr;
    checkStatus("uv_async_init", status);
  }
  _handle->data = this;
}

OnLoopExecutor::~OnLoopExecutor() { close(); }

void OnLoopExecutor::onLoopClosing() { close(); }

void OnLoopExecutor::close() {
  std::lock_guard<std::mutex> lock(_lock);
  closeAndFree(reinterpret_cast<uv_handle_t*>(_handle));
  _handle = nullptr;
  _queue.clear();  // functions still waiting are not run
}

void OnLoopExecutor::execute(std::function<void()>* f) {
  std::unique_ptr<std::function<void()>> function(f);
  std::unique_lock<std::mutex> lock(_lock);
  if (!_handle) {
    lock.unlock();
    UV_LOG("WARN") << "OnLoopExecutor: the loop is gone, call refused";
    return;
  }
  UvLoop* loop = residentLoop();
  if (loop && loop->executingOnLoop()) {
    lock.unlock();
    (*function)();
    return;
  }
  _queue.push_back(std::move(function));
  checkStatus("uv_async_send", uv_async_send(_handle));
}

void OnLoopExecutor::onSignal(uv_async_t* handle) {
  auto* executor = static_cast<OnLoopExecutor*>(handle->data);
  UvLoop* loop = UvLoop::from(handle->loop);
  // Take the whole batch first: a function may end this executor (its owner may go in it), so
  // nothing below touches it again. A failing function stops the loop; the rest of the batch still runs.
  std::deque<std::unique_ptr<std::function<void()>>> batch;
  {
    std::lock_guard<std::mutex> lock(executor->_lock);
    batch.swap(executor->_queue);
  }
  for (auto& function : batch) loop->guard([&] { (*function)(); });
}

}  // namespace p2p
