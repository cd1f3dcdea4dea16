// The event loop that the whole engine runs on, the executor through which other threads
// reach it, and the rules every libuv wrapper of this folder follows:
//
//  - Handles are allocated zero-filled with allocUv<T>() and freed in their close callback
//    (freeOnClose), so the loop can close any handle that is still open when it goes away.
//  - Every libuv callback runs its body through UvLoop::guard: an exception never unwinds
//    through a libuv frame; the loop keeps it, stops, and run() rethrows it.
//  - An object that owns handles derives from UvLoop::Resident, so that a loop destroyed
//    before it can close those handles and leave the object harmless.
//  - Lifetimes (see also p2p/uv/Liveness.h): an object that ends inside one of its own
//    callbacks, or that a callee wants gone, is handed to deleteSoon() and deleted on a later
//    loop turn, never inside the call that is still using it. A callee never deletes its
//    caller in any other way. Work for the next turn goes through post(), and code that called
//    out into something that may end it checks its Liveness watch before going on. The one
//    named special case is a request that owns itself until its completion (p2p/uv/SelfOwned.h).
#pragma once

#include <uv.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace p2p {

// Throws std::runtime_error("<name> error <status> <libuv message>") when status is not 0.
void checkStatus(const std::string& name, int status);

// The form for destructors, which never throw: prints "<name> error <status> <message>".
void printStatus(const std::string& name, int status);

// A zero-filled libuv handle or request, to be released with std::free (see freeOnClose).
template <class T>
T* allocUv() {
  return static_cast<T*>(std::calloc(1, sizeof(T)));
}

// Close callback for handles made by allocUv: frees the memory.
void freeOnClose(uv_handle_t* handle);

// Closes a handle made by allocUv unless it is already closing; null is ignored. A closing
// handle has no owner any more: its data is cleared, so that a last callback libuv still makes
// (a read handing back its buffer) finds nobody to call.
void closeAndFree(uv_handle_t* handle);

class OnLoopExecutor;

class UvLoop {
 public:
  using Clock = std::function<uint64_t()>;

  // An object holding handles on this loop. If the loop is destroyed first, it calls
  // onLoopClosing() once: the object closes its handles there and must not use the loop again.
  // A resident made with a null loop is not registered anywhere.
  class Resident {
   public:
    explicit Resident(UvLoop* loop);
    virtual ~Resident();
    Resident(const Resident&) = delete;
    Resident& operator=(const Resident&) = delete;

    // Null once the loop has gone.
    UvLoop* residentLoop() const { return _residentLoop; }

   protected:
    virtual void onLoopClosing() = 0;

   private:
    friend class UvLoop;
    UvLoop* _residentLoop;
  };

  // `clock`, when given, replaces the loop's millisecond clock for now() (tests).
  explicit UvLoop(Clock clock = nullptr);
  ~UvLoop();
  UvLoop(const UvLoop&) = delete;
  UvLoop& operator=(const UvLoop&) = delete;

  // Runs the loop on the calling thread, which becomes the loop thread, until there is nothing
  // left to do or stop() is called. Rethrows an exception kept from a callback.
  int run();

  // Makes run() return; safe from any thread. From the loop thread it takes effect at the end
  // of the current iteration; a stop asked for while the loop is not running ends the next run.
  void stop();

  // True on the thread that last called run(); false everywhere before the first run.
  bool executingOnLoop() const;
  // False until run() is first called.
  bool hasRun() const { return _loopThread.load() != std::thread::id(); }

  // Runs *f on the libuv thread pool and deletes it. An exception thrown by *f is caught on the
  // pool thread and logged by the completion on the loop thread.
  void executeAsync(std::function<void()>* f);

  // A new executor on this loop; the caller owns it. Create it on the loop thread or before run.
  OnLoopExecutor* newOnLoopExecutor();

  // The loop's clock in milliseconds (libuv's cached time unless a test clock was given).
  uint64_t now() const;

  // Deletes `object` on a later loop turn, from a callback of its own, so that every call
  // still on the stack may go on using it until it returns. Loop thread only. Objects still
  // waiting when the loop is destroyed are deleted by its destructor, first thing.
  template <class T>
  void deleteSoon(std::unique_ptr<T> object) {
    if (object) deferDeletion([doomed = object.release()] { delete doomed; });
  }

  // Deletions waiting for their turn.
  size_t pendingDeletions() const { return _doomed.size(); }

  // Runs `work` on a later loop turn, after the calls on the stack have returned: the one
  // next-turn queue, for work that must not run inside the call that asks for it. Work whose
  // owner may be gone by then checks a Liveness watch first. Loop thread only; work still
  // waiting when the loop is destroyed is dropped, not run.
  void post(std::function<void()> work);

  // Runs the waiting deletions now, and those they cause. For an owner that is about to free
  // what the waiting objects still point to (a router, a server client), from outside their
  // callbacks: after run() has returned, or from a destructor that no such callback called.
  void flushDeletions();

  // Handles that a loop being destroyed found still open and had to close itself, since their
  // owner left them so: leaks, which the tests fail on. Counted over every loop of the process;
  // `lastType` is libuv's name for the type of the latest one.
  struct StrayHandles {
    size_t count = 0;
    const char* lastType = "";
  };
  static StrayHandles strayHandles();

  // Threads of libuv's pool (shared by every loop of the process), as the first loop sized it:
  // max(4, processors) unless UV_THREADPOOL_SIZE was set.
  static unsigned threadPoolSize();

  uv_loop_t* uvLoop() const { return _loop; }
  static UvLoop* from(const uv_loop_t* loop) { return static_cast<UvLoop*>(loop->data); }

  // Keeps the first exception raised inside a callback and stops the loop.
  void keepException(std::exception_ptr e);

  // Runs a callback body so that no exception escapes into libuv.
  template <class F>
  void guard(F&& body) noexcept {
    try {
      body();
    } catch (...) {
      keepException(std::current_exception());
    }
  }

  template <class F>
  static void guard(const uv_loop_t* loop, F&& body) noexcept {
    from(loop)->guard(std::forward<F>(body));
  }

 private:
  static void onStopSignal(uv_async_t* handle);
  static void onReaper(uv_timer_t* handle);
  void deferDeletion(std::function<void()> deleter);
  void startReaper();
  void runDeletions();
  void closeResidents();
  void closeRemainingHandles();

  uv_loop_t* _loop;
  uv_async_t* _stopSignal;
  uv_timer_t* _reaper;  // 0 ms, started while deletions wait; made on first use
  bool _closing = false;
  std::vector<std::function<void()>> _doomed;
  std::vector<std::function<void()>> _posted;
  Clock _clock;
  std::atomic<std::thread::id> _loopThread{};
  std::exception_ptr _kept;
  std::mutex _residentsLock;
  std::unordered_set<Resident*> _residents;
};

// Hands functions from other threads to the loop thread, in the order each thread gave them.
class OnLoopExecutor : public UvLoop::Resident {
 public:
  explicit OnLoopExecutor(uv_loop_t* loop);
  ~OnLoopExecutor() override;

  // Takes ownership of f. On the loop thread f runs at once; from another thread it is queued
  // and runs on the loop thread soon after. Once the loop or this executor is gone, the call is
  // refused (logged) and f is deleted without running.
  void execute(std::function<void()>* f);

 protected:
  void onLoopClosing() override;

 private:
  static void onSignal(uv_async_t* handle);
  void close();

  std::mutex _lock;  // guards _handle and _queue
  uv_async_t* _handle;
  std::deque<std::unique_ptr<std::function<void()>>> _queue;
};

}  // namespace p2p
