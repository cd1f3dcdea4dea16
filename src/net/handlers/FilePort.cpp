#include "net/handlers/FilePort.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "p2p/uv/UvLoop.h"

namespace net {

namespace {

using p2p::UvFile;
// What reports to a receiver later keeps: null once the receiver is gone.
using ReceiverRef = p2p::Liveness::Ref<UvFile::FileCb>;

// The copy handlers ask for many small requests (a look at two names, an open, a write, a
// rename per small file). Each libuv file request wakes a pool thread and then the loop; for
// small files those wake-ups cost more than the work. So the requests a loop turn asks for are
// run together: one pool job per turn takes them in order, with the synchronous forms of
// libuv's calls, and reports them in order. A flush waits for the disk and would hold the
// others up: each flush is a job of its own.

// One request: its system calls on the pool, its report on the loop thread.
class Op {
 public:
  virtual ~Op() = default;
  virtual void run() = 0;
  virtual void report() = 0;
};

// What an open file keeps apart from its handle: the descriptor lives until the last request
// that uses it is done.
struct FileState {
  uv_file fd = -1;
  ReceiverRef cb;
  bool busy = false;
  bool closeWhenIdle = false;  // the handle went while a request was in flight
};

void closeNow(uv_file fd) {
  if (fd < 0) return;
  uv_fs_t req{};
  const int status = uv_fs_close(nullptr, &req, fd, nullptr);
  uv_fs_req_cleanup(&req);
  if (status < 0) p2p::printStatus("uv_fs_close", status);
}

// The pool side of the port: pending requests of this turn and the handle that hands them to
// the pool before the loop waits. Shared with the open files, which may outlive the port.
class Batcher : public p2p::UvLoop::Resident {
 public:
  explicit Batcher(p2p::UvLoop* loop) : Resident(loop), prepare(p2p::allocUv<uv_prepare_t>()) {
    p2p::checkStatus("uv_prepare_init", uv_prepare_init(loop->uvLoop(), prepare));
    prepare->data = this;
  }
  ~Batcher() override {
    submitPending();
    if (prepare) p2p::closeAndFree(reinterpret_cast<uv_handle_t*>(prepare));
  }

  // Runs with the others of this turn, or in a job of its own.
  void submit(std::unique_ptr<Op> op, bool alone = false) {
    if (!residentLoop()) {  // the loop is gone: nobody hears of it, but it is done
      op->run();
      return;
    }
    if (alone) return queue(std::vector<std::unique_ptr<Op>>{}, std::move(op));
    pending.push_back(std::move(op));
    if (pending.size() == 1) uv_prepare_start(prepare, onPrepare);
  }

 protected:
  void onLoopClosing() override {
    submitPending();
    p2p::closeAndFree(reinterpret_cast<uv_handle_t*>(prepare));
    prepare = nullptr;
  }

 private:
  struct Job {
    uv_work_t work{};
    std::vector<std::unique_ptr<Op>> ops;
  };

  static void onPrepare(uv_prepare_t* handle) {
    auto* self = static_cast<Batcher*>(handle->data);
    p2p::UvLoop::guard(handle->loop, [self] { self->submitPending(); });
  }

  void submitPending() {
    if (prepare) uv_prepare_stop(prepare);
    if (pending.empty()) return;
    std::vector<std::unique_ptr<Op>> ops;
    ops.swap(pending);
    queue(std::move(ops), nullptr);
  }

  void queue(std::vector<std::unique_ptr<Op>> ops, std::unique_ptr<Op> one) {
    if (one) ops.push_back(std::move(one));
    p2p::UvLoop* loop = residentLoop();
    if (!loop) {
      for (auto& op : ops) op->run();
      return;
    }
    auto* job = new Job;
    job->work.data = job;
    job->ops = std::move(ops);
    const int status = uv_queue_work(loop->uvLoop(), &job->work, onWork, onDone);
    if (status == 0) return;
    for (auto& op : job->ops) op->run();  // done here rather than lost
    delete job;
    p2p::printStatus("uv_queue_work", status);
  }

  static void onWork(uv_work_t* work) {
    for (auto& op : static_cast<Job*>(work->data)->ops) op->run();
  }
  static void onDone(uv_work_t* work, int) {
    std::unique_ptr<Job> job(static_cast<Job*>(work->data));
    p2p::UvLoop::guard(work->loop, [&] {
      for (auto& op : job->ops) op->report();
    });
  }

  uv_prepare_t* prepare;
  std::vector<std::unique_ptr<Op>> pending;
};

// ---- requests on paths ----

// The libuv call's result: a negative code, or what it returned; `fs` keeps the rest.
struct Call {
  Call() = default;
  Call(const Call&) = delete;
  ~Call() { uv_fs_req_cleanup(&fs); }
  uv_fs_t fs{};
  int result = 0;
};

template <class Run, class Report>
class PathOp : public Op {
 public:
  PathOp(UvFile::FileCb* cb, Run run, Report report)
      : cb(UvFile::FileCb::refTo(cb)), runCall(std::move(run)), reportTo(std::move(report)) {}
  void run() override { call.result = runCall(call.fs); }
  void report() override {
    UvFile::FileCb* to = cb.get();
    if (!to) return;
    if (call.result < 0) return to->handleFileError(call.result, uv_strerror(call.result));
    reportTo(to, call.fs);
  }

 private:
  ReceiverRef cb;
  Call call;
  Run runCall;
  Report reportTo;
};

template <class Run, class Report>
std::unique_ptr<Op> pathOp(UvFile::FileCb* cb, Run run, Report report) {
  return std::make_unique<PathOp<Run, Report>>(cb, std::move(run), std::move(report));
}

// ---- requests on an open file ----

// Runs on the file's descriptor; the memory it uses stays held until the report.
template <class Run, class Report>
class FileOp : public Op {
 public:
  FileOp(std::shared_ptr<FileState> state, std::shared_ptr<void> hold, Run run, Report report)
      : state(std::move(state)), hold(std::move(hold)), runCall(std::move(run)), reportTo(std::move(report)) {}
  void run() override { result = runCall(*state); }
  void report() override {
    state->busy = false;
    if (state->closeWhenIdle) {
      closeNow(state->fd);
      state->fd = -1;
      return;
    }
    UvFile::FileCb* to = state->cb.get();
    if (!to) return;
    if (result < 0) return to->handleFileError(result, uv_strerror(result));
    reportTo(to, result);
  }

 private:
  std::shared_ptr<FileState> state;
  std::shared_ptr<void> hold;
  int result = 0;
  Run runCall;
  Report reportTo;
};

class BatchedFile : public FilePort::File {
 public:
  BatchedFile(std::shared_ptr<Batcher> batcher, const std::string& path, UvFile::Access access, FilePort::Cb* cb)
      : batcher(std::move(batcher)), state(std::make_shared<FileState>()) {
    state->cb = UvFile::FileCb::refTo(cb);
    request(nullptr, [path, access](FileState& s) {
      Call call;
      const int fd = uv_fs_open(nullptr, &call.fs, path.c_str(), access, 0644, nullptr);
      if (fd >= 0) s.fd = fd;
      return fd < 0 ? fd : 0;
    }, [](UvFile::FileCb* to, int) { to->handleFileOpen(); });
  }
  ~BatchedFile() override {
    state->cb = {};
    if (state->busy) {
      state->closeWhenIdle = true;  // closed once the request in flight is done
      return;
    }
    if (state->fd < 0) return;
    if (std::shared_ptr<Batcher> alive = batcher.lock()) {
      const uv_file fd = state->fd;
      alive->submit(pathOp(nullptr, [fd](uv_fs_t&) { return closeNow(fd), 0; }, [](UvFile::FileCb*, uv_fs_t&) {}));
    } else {
      closeNow(state->fd);
    }
    state->fd = -1;
  }

  void setCb(FilePort::Cb* cb) override { state->cb = UvFile::FileCb::refTo(cb); }

  void read(char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) override {
    if (len < 0) p2p::checkStatus("uv_fs_read", UV_EINVAL);
    request(std::move(hold), [bytes, len, offset](FileState& s) {
      Call call;
      uv_buf_t buf = uv_buf_init(bytes, static_cast<unsigned>(len));
      return uv_fs_read(nullptr, &call.fs, s.fd, &buf, 1, offset, nullptr);
    }, [bytes](UvFile::FileCb* to, int n) { to->handleFileRead(bytes, n); });
  }

  // All of it: a short write goes on, so that a full disk reports its own error.
  void write(const char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) override {
    if (len < 0) p2p::checkStatus("uv_fs_write", UV_EINVAL);
    request(std::move(hold), [bytes, len, offset](FileState& s) {
      for (int done = 0; done < len;) {
        Call call;
        uv_buf_t buf = uv_buf_init(const_cast<char*>(bytes) + done, static_cast<unsigned>(len - done));
        const int n = uv_fs_write(nullptr, &call.fs, s.fd, &buf, 1, offset + done, nullptr);
        if (n < 0) return n;
        if (n == 0) return static_cast<int>(UV_EIO);
        done += n;
      }
      return len;
    }, [bytes](UvFile::FileCb* to, int n) { to->handleFileWrite(const_cast<char*>(bytes), n); });
  }

  void truncate(int64_t length) override {
    request(nullptr, [length](FileState& s) {
      Call call;
      return uv_fs_ftruncate(nullptr, &call.fs, s.fd, length, nullptr);
    }, [](UvFile::FileCb* to, int) { to->handleFileTruncate(); });
  }

  void stats() override {
    auto found = std::make_shared<uv_stat_t>();
    request(found, [found](FileState& s) {
      Call call;
      const int status = uv_fs_fstat(nullptr, &call.fs, s.fd, nullptr);
      if (status == 0) *found = call.fs.statbuf;
      return status;
    }, [found](UvFile::FileCb* to, int) { to->handleFileStats(*found); });
  }

  void flush() override {
    auto found = std::make_shared<uv_stat_t>();
    request(found, [found](FileState& s) {
      Call sync;
      int status = uv_fs_fdatasync(nullptr, &sync.fs, s.fd, nullptr);
      if (status != 0) return status;
      Call stat;
      status = uv_fs_fstat(nullptr, &stat.fs, s.fd, nullptr);
      if (status == 0) *found = stat.fs.statbuf;
      return status;
    }, [found](UvFile::FileCb* to, int) { to->handleFileFlush(*found); }, true);
  }

 private:
  template <class Run, class Report>
  void request(std::shared_ptr<void> hold, Run run, Report report, bool alone = false) {
    if (state->busy) throw std::logic_error("one file request at a time");
    std::shared_ptr<Batcher> alive = batcher.lock();
    if (!alive) throw std::runtime_error("file request: the loop has closed");
    state->busy = true;
    alive->submit(std::make_unique<FileOp<Run, Report>>(state, std::move(hold), std::move(run), std::move(report)),
                  alone);
  }

  std::weak_ptr<Batcher> batcher;
  std::shared_ptr<FileState> state;
};

class UvFilePort : public FilePort {
 public:
  explicit UvFilePort(p2p::UvLoop* loop) : loop(loop), batcher(std::make_shared<Batcher>(loop)) {}

  std::unique_ptr<File> open(const std::string& path, UvFile::Access access, Cb* cb) override {
    return std::make_unique<BatchedFile>(batcher, path, access, cb);
  }
  void stats(const std::string& path, Cb* cb) override {
    batcher->submit(pathOp(cb, [path](uv_fs_t& fs) { return uv_fs_stat(nullptr, &fs, path.c_str(), nullptr); },
                           [](UvFile::FileCb* to, uv_fs_t& fs) { to->handleFileStats(fs.statbuf); }));
  }
  // A missing entry is an answer, not a failure; a link is reported as itself.
  void exists(const std::string& path, Cb* cb) override {
    batcher->submit(pathOp(
        cb,
        [path](uv_fs_t& fs) {
          const int status = uv_fs_lstat(nullptr, &fs, path.c_str(), nullptr);
          return status == UV_ENOENT ? 1 : status;
        },
        [](UvFile::FileCb* to, uv_fs_t& fs) {
          if (fs.result == UV_ENOENT) return to->handleFileExists(false, uv_stat_t{});
          to->handleFileExists(true, fs.statbuf);
        }));
  }
  void rename(const std::string& from, const std::string& to, Cb* cb) override {
    batcher->submit(pathOp(
        cb, [from, to](uv_fs_t& fs) { return uv_fs_rename(nullptr, &fs, from.c_str(), to.c_str(), nullptr); },
        [](UvFile::FileCb* target, uv_fs_t&) { target->handleFileRename(); }));
  }
  void remove(const std::string& path, Cb* cb) override {
    batcher->submit(pathOp(cb, [path](uv_fs_t& fs) { return uv_fs_unlink(nullptr, &fs, path.c_str(), nullptr); },
                           [](UvFile::FileCb* to, uv_fs_t&) { to->handleFileRemove(); }));
  }
  void flushFolder(const std::string& path, Cb* cb) override { UvFile::flushFolder(path, loop, cb); }
  void mkdirs(const std::string& path, Cb* cb) override { UvFile::mkdirs(path, loop, cb); }
  void scan(const std::string& path, Cb* cb) override {
    UvFile::scan(path, UvFile::RECURSE | UvFile::WITH_STATS, loop, cb);
  }

 private:
  p2p::UvLoop* loop;
  std::shared_ptr<Batcher> batcher;
};

}  // namespace

std::unique_ptr<FilePort> newUvFilePort(p2p::UvLoop* loop) { return std::make_unique<UvFilePort>(loop); }

}  // namespace net
