#include "p2p/uv/UvFile.h"

#include <sys/stat.h>

#include <stdexcept>
#include <type_traits>

#include "p2p/uv/UvFileMkdirs.h"
#include "p2p/uv/UvFileScanner.h"

namespace p2p {

// ---- FileCb ----

void UvFile::FileCb::handleFileOpen() { throw std::runtime_error("handleFileOpen not implemented"); }
void UvFile::FileCb::handleFileError(int, const std::string&) {
  throw std::runtime_error("handleFileError not implemented");
}
void UvFile::FileCb::handleFileRead(char*, int) { throw std::runtime_error("handleFileRead not implemented"); }
void UvFile::FileCb::handleFileWrite(char*, int) { throw std::runtime_error("handleFileWrite not implemented"); }
void UvFile::FileCb::handleFileStats(const uv_stat_t&) {
  throw std::runtime_error("handleFileStats not implemented");
}
void UvFile::FileCb::handleFileScan(std::deque<std::string>, std::deque<uv_stat_t>) {
  throw std::runtime_error("handleFileScan not implemented");
}
void UvFile::FileCb::handleFileExists(bool, const uv_stat_t&) {
  throw std::runtime_error("handleFileExists not implemented");
}
void UvFile::FileCb::handleFileMkdirs() { throw std::runtime_error("handleFileMkdirs not implemented"); }
void UvFile::FileCb::handleFileTruncate() { throw std::runtime_error("handleFileTruncate not implemented"); }
void UvFile::FileCb::handleFileRename() { throw std::runtime_error("handleFileRename not implemented"); }
void UvFile::FileCb::handleFileFlush(const uv_stat_t&) { throw std::runtime_error("handleFileFlush not implemented"); }
void UvFile::FileCb::handleFileRemove() { throw std::runtime_error("handleFileRemove not implemented"); }

// ---- PathRequest ----

void UvFile::PathRequest::started(const char* name, int status, PathRequest* request) {
  if (status == 0) return;
  delete request;
  checkStatus(name, status);
}

// ---- per-file state and requests ----

struct UvFile::State {
  UvLoop* loop;  // null once the loop has closed
  Liveness::Ref<FileCb> cb;
  uv_file file = -1;
  int pending = 0;        // requests in flight
  bool orphaned = false;  // the UvFile is gone; the last request closes the file and frees this
};

struct UvFile::FileRequest {
  uv_fs_t fs{};
  State* state;
  char* bytes;  // the caller's buffer of a read or write, reported back as given
  int len;
  long long offset = 0;  // of a write
  int done = 0;          // bytes of a write already written by earlier pieces
};

// A flush runs its system calls in one trip to the pool: of an open file (`state`), or of a
// folder (`path`, reported to `cb`).
struct UvFile::Flush {
  uv_work_t work{};
  State* state = nullptr;
  Liveness::Ref<FileCb> cb;
  std::string path;
  uv_file file = -1;
  int status = 0;
  uv_stat_t stats{};
};

namespace {

void closeSynchronously(uv_file file) {
  uv_fs_t request{};
  int status = uv_fs_close(nullptr, &request, file, nullptr);
  uv_fs_req_cleanup(&request);
  if (status < 0) printStatus("uv_fs_close", status);
}

void onClosed(uv_fs_t* fs) {
  uv_fs_req_cleanup(fs);
  std::free(fs);
}

// Never throws: closes in the background while the loop runs, else at once.
void closeFile(UvLoop* loop, uv_file file) {
  if (file < 0) return;
  if (loop) {
    auto* request = allocUv<uv_fs_t>();
    int status = uv_fs_close(loop->uvLoop(), request, file, onClosed);
    if (status == 0) return;
    printStatus("uv_fs_close", status);
    std::free(request);
  }
  closeSynchronously(file);
}


}  // namespace

UvFile::UvFile(const std::string& path, Access access, UvLoop* loop, FileCb* cb)
    : Resident(loop), _state(new State{loop, FileCb::refTo(cb)}) {
  try {
    FileRequest* request = newRequest("uv_fs_open");
    start("uv_fs_open", request,
          uv_fs_open(loop->uvLoop(), &request->fs, path.c_str(), access, 0644, onCompleted<&FileCb::handleFileOpen>));
  } catch (...) {
    delete _state;
    throw;
  }
}

UvFile::~UvFile() {
  _state->orphaned = true;
  _state->cb = {};
  settle(_state);
}

void UvFile::onLoopClosing() {
  _state->loop = nullptr;
  settle(_state);
}

// Closes what nothing uses any longer; frees the state of a deleted file.
void UvFile::settle(State* state) {
  if (state->pending > 0) return;
  if (state->orphaned) {
    closeFile(state->loop, state->file);
    delete state;
  } else if (!state->loop && state->file >= 0) {
    closeSynchronously(state->file);
    state->file = -1;
  }
}

void UvFile::setCb(FileCb* cb) { _state->cb = FileCb::refTo(cb); }

UvFile::FileRequest* UvFile::newRequest(const char* name, char* bytes, int len) {
  if (!_state->loop) throw std::runtime_error(std::string(name) + ": the loop has closed");
  if (len < 0) checkStatus(name, UV_EINVAL);  // would reach the kernel as a huge length
  auto* request = new FileRequest{};
  request->fs.data = request;
  request->state = _state;
  request->bytes = bytes;
  request->len = len;
  return request;
}

// A request counts as pending only once libuv has accepted it.
void UvFile::start(const char* name, FileRequest* request, int status) {
  if (status != 0) {
    delete request;
    checkStatus(name, status);
  }
  ++_state->pending;
}

void UvFile::read(char* bytes, int len, long long offset) {
  FileRequest* request = newRequest("uv_fs_read", bytes, len);
  uv_buf_t buf = uv_buf_init(bytes, static_cast<unsigned>(len));
  start("uv_fs_read", request,
        uv_fs_read(_state->loop->uvLoop(), &request->fs, _state->file, &buf, 1, offset, onCompleted<&UvFile::reportRead>));
}

void UvFile::write(char* bytes, int len, long long offset) {
  FileRequest* request = newRequest("uv_fs_write", bytes, len);
  request->offset = offset;
  uv_buf_t buf = uv_buf_init(bytes, static_cast<unsigned>(len));
  start("uv_fs_write", request,
        uv_fs_write(_state->loop->uvLoop(), &request->fs, _state->file, &buf, 1, offset, onCompleted<&UvFile::reportWrite>));
}

void UvFile::truncate(long long offset) {
  FileRequest* request = newRequest("uv_fs_ftruncate");
  start("uv_fs_ftruncate", request,
        uv_fs_ftruncate(_state->loop->uvLoop(), &request->fs, _state->file, offset, onCompleted<&FileCb::handleFileTruncate>));
}

void UvFile::stats() {
  FileRequest* request = newRequest("uv_fs_fstat");
  start("uv_fs_fstat", request,
        uv_fs_fstat(_state->loop->uvLoop(), &request->fs, _state->file, onCompleted<&UvFile::reportStats>));
}

void UvFile::flush() {
  if (!_state->loop) throw std::runtime_error("flush: the loop has closed");
  auto* flush = new Flush{};
  flush->state = _state;
  flush->file = _state->file;
  queueFlush(_state->loop, flush);
  ++_state->pending;
}

void UvFile::flushFolder(const std::string& path, UvLoop* loop, FileCb* cb) {
  auto* flush = new Flush{};
  flush->cb = FileCb::refTo(cb);
  flush->path = path;
  queueFlush(loop, flush);
}

void UvFile::queueFlush(UvLoop* loop, Flush* flush) {
  flush->work.data = flush;
  int status = uv_queue_work(loop->uvLoop(), &flush->work, onFlushWork, onFlushed);
  if (status == 0) return;
  delete flush;
  checkStatus("uv_queue_work", status);
}

// On a pool thread: the synchronous forms of libuv's calls (no loop, no callback).
void UvFile::onFlushWork(uv_work_t* work) {
  auto* flush = static_cast<Flush*>(work->data);
  uv_fs_t request{};
  uv_file file = flush->file;
  if (!flush->path.empty()) {
    file = uv_fs_open(nullptr, &request, flush->path.c_str(), UV_FS_O_RDONLY | UV_FS_O_DIRECTORY, 0, nullptr);
    uv_fs_req_cleanup(&request);
    if (file < 0) {
      flush->status = file;
      return;
    }
  }
  flush->status = flush->path.empty() ? uv_fs_fdatasync(nullptr, &request, file, nullptr)
                                      : uv_fs_fsync(nullptr, &request, file, nullptr);
  uv_fs_req_cleanup(&request);
  if (flush->status == 0) {
    flush->status = uv_fs_fstat(nullptr, &request, file, nullptr);
    if (flush->status == 0) flush->stats = request.statbuf;
    uv_fs_req_cleanup(&request);
  }
  if (!flush->path.empty()) closeSynchronously(file);
}

void UvFile::onFlushed(uv_work_t* work, int status) {
  std::unique_ptr<Flush> flush(static_cast<Flush*>(work->data));
  UvLoop::guard(work->loop, [&] {
    const int result = status != 0 ? status : flush->status;
    FileCb* cb = flush->cb.get();
    if (State* state = flush->state) {
      --state->pending;
      cb = state->orphaned || !state->loop ? nullptr : state->cb.get();
      settle(state);
    }
    if (!cb) return;
    if (result < 0)
      cb->handleFileError(result, uv_strerror(result));
    else
      cb->handleFileFlush(flush->stats);
  });
}

void UvFile::reportRead(FileCb* cb, const uv_fs_t& fs) {
  auto* request = static_cast<FileRequest*>(fs.data);
  cb->handleFileRead(request->bytes, static_cast<int>(fs.result));
}

void UvFile::reportWrite(FileCb* cb, const uv_fs_t& fs) {
  auto* request = static_cast<FileRequest*>(fs.data);
  if (request->done + static_cast<int>(fs.result) == request->len)
    cb->handleFileWrite(request->bytes, request->len);
  else
    cb->handleFileError(UV_EIO, "write made no progress");
}

// The rest of a short write goes out as a new piece of the same request; true when it did. A
// full disk then fails that piece with its own error.
bool UvFile::writeOn(uv_fs_t* fs) {
  auto* request = static_cast<FileRequest*>(fs->data);
  State* state = request->state;
  const int written = static_cast<int>(fs->result);
  if (written <= 0 || request->done + written >= request->len || state->orphaned || !state->loop) return false;
  request->done += written;
  uv_fs_req_cleanup(fs);
  uv_buf_t buf = uv_buf_init(request->bytes + request->done, static_cast<unsigned>(request->len - request->done));
  const int status = uv_fs_write(state->loop->uvLoop(), fs, state->file, &buf, 1, request->offset + request->done,
                                 onCompleted<&UvFile::reportWrite>);
  if (status == 0) return true;
  fs->result = status;
  return false;
}

void UvFile::reportStats(FileCb* cb, const uv_fs_t& fs) { cb->handleFileStats(fs.statbuf); }

// Every completion: frees the request on every way out, records an opened descriptor first (so
// that it is closed even when nobody is left to hear of it), drops the result when the file or
// its receiver is gone, and touches neither request nor state after reporting (the handler may
// delete the file).
template <auto report>
void UvFile::onCompleted(uv_fs_t* fs) {
  if (fs->fs_type == UV_FS_WRITE && writeOn(fs)) return;  // the rest is on its way
  std::unique_ptr<FileRequest> request(static_cast<FileRequest*>(fs->data));
  UvLoop::guard(fs->loop, [&] {
    State* state = request->state;
    int result = static_cast<int>(fs->result);
    --state->pending;
    if (fs->fs_type == UV_FS_OPEN && result >= 0) state->file = result;
    FileCb* cb = state->orphaned || !state->loop ? nullptr : state->cb.get();
    settle(state);
    if (!cb) return;
    if (result < 0)
      cb->handleFileError(result, uv_strerror(result));
    else if constexpr (std::is_member_function_pointer_v<decltype(report)>)
      (cb->*report)();
    else
      report(cb, *fs);
  });
  uv_fs_req_cleanup(fs);
}

// ---- static operations ----

namespace {

void onPathStats(uv_fs_t* fs) {
  UvFile::PathRequest::complete(fs, [](UvFile::FileCb* cb, uv_fs_t* done) { cb->handleFileStats(done->statbuf); });
}

void onExists(uv_fs_t* fs) {
  // A missing path is an answer, not a failure.
  const bool missing = fs->result == UV_ENOENT;
  if (missing) fs->result = 0;
  UvFile::PathRequest::complete(fs, [missing](UvFile::FileCb* cb, uv_fs_t* done) {
    cb->handleFileExists(!missing, missing ? uv_stat_t{} : done->statbuf);
  });
}

void onRenamed(uv_fs_t* fs) {
  UvFile::PathRequest::complete(fs, [](UvFile::FileCb* cb, uv_fs_t*) { cb->handleFileRename(); });
}

void onRemoved(uv_fs_t* fs) {
  UvFile::PathRequest::complete(fs, [](UvFile::FileCb* cb, uv_fs_t*) { cb->handleFileRemove(); });
}

}  // namespace

void UvFile::stats(const std::string& path, UvLoop* loop, FileCb* cb) {
  auto* request = new PathRequest(cb);
  PathRequest::started("uv_fs_stat", uv_fs_stat(loop->uvLoop(), &request->fs, path.c_str(), onPathStats), request);
}

void UvFile::exists(const std::string& path, UvLoop* loop, FileCb* cb) {
  auto* request = new PathRequest(cb);
  PathRequest::started("uv_fs_stat", uv_fs_stat(loop->uvLoop(), &request->fs, path.c_str(), onExists), request);
}

void UvFile::existsNoFollow(const std::string& path, UvLoop* loop, FileCb* cb) {
  auto* request = new PathRequest(cb);
  PathRequest::started("uv_fs_lstat", uv_fs_lstat(loop->uvLoop(), &request->fs, path.c_str(), onExists), request);
}

void UvFile::remove(const std::string& path, UvLoop* loop, FileCb* cb) {
  auto* request = new PathRequest(cb);
  PathRequest::started("uv_fs_unlink", uv_fs_unlink(loop->uvLoop(), &request->fs, path.c_str(), onRemoved), request);
}

void UvFile::rename(const std::string& oldPath, const std::string& newPath, UvLoop* loop, FileCb* cb) {
  auto* request = new PathRequest(cb);
  PathRequest::started(
      "uv_fs_rename",
      uv_fs_rename(loop->uvLoop(), &request->fs, oldPath.c_str(), newPath.c_str(), onRenamed), request);
}

void UvFile::mkdirs(const std::string& path, UvLoop* loop, FileCb* cb) { new UvFileMkdirs(path, loop, cb); }

void UvFile::scan(const std::string& path, int flags, UvLoop* loop, FileCb* cb) {
  new UvFileScanner(path, flags, loop, cb);
}

// ---- paths ----

bool UvFile::isDir(const uv_stat_t& stats) { return (stats.st_mode & S_IFMT) == S_IFDIR; }

bool UvFile::isLink(const uv_stat_t& stats) { return (stats.st_mode & S_IFMT) == S_IFLNK; }

long long UvFile::size(const uv_stat_t& stats) { return static_cast<long long>(stats.st_size); }

std::string UvFile::getName(const std::string& path) {
  std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string UvFile::getDir(const std::string& path) {
  std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace p2p
