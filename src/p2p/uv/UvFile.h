// Non-blocking file access on the loop thread: one UvFile per open file, every operation a libuv
// file-system request that runs on the thread pool and reports back on the loop thread to a
// FileCb. Static members do the same for whole paths.
//
// Lifetime rules, so that no completion ever lands on freed memory:
//  - Deleting a UvFile with requests in flight is allowed. Their results are dropped, and the
//    descriptor is closed once the last of them has completed (a descriptor closed under a
//    pending write could be reused by another open and receive its bytes). An open still in
//    flight closes the descriptor it gets.
//  - Deleting a FileCb detaches it from every result still on its way to it: the results of
//    static operations, of scans and directory creations, and of the UvFile that reports to it
//    are then dropped. Nothing else is needed: the FileCb base holds a Liveness, and whatever
//    reports to it later keeps a Liveness::Ref to it (FileCb::refTo).
//  - What the thread pool reads into or writes from is the caller's memory, used in place (no
//    copy). Deleting the file does not stop a read or write already handed to the pool, so those
//    bytes must stay valid until the request would have reported.
//  - Everything here, FileCb destruction included, happens on the loop thread.
#pragma once

#include <uv.h>

#include <deque>
#include <memory>
#include <string>

#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvLoop.h"

namespace p2p {

class UvFile : public UvLoop::Resident {
 public:
  // Open modes; files are created with mode 0644.
  enum Access : int {
    READ = UV_FS_O_RDONLY | UV_FS_O_SEQUENTIAL,
    WRITE = UV_FS_O_WRONLY | UV_FS_O_SEQUENTIAL | UV_FS_O_CREAT,
    READ_WRITE = UV_FS_O_RDWR | UV_FS_O_SEQUENTIAL | UV_FS_O_CREAT,
    WRITE_APPEND = UV_FS_O_WRONLY | UV_FS_O_APPEND | UV_FS_O_SEQUENTIAL | UV_FS_O_CREAT,
    WRITE_TRUNCATE = UV_FS_O_WRONLY | UV_FS_O_SEQUENTIAL | UV_FS_O_CREAT | UV_FS_O_TRUNC,
  };
  // The same access, refusing (UV_ELOOP) a path whose last component is a symbolic link.
  static Access noFollow(Access access) { return static_cast<Access>(access | UV_FS_O_NOFOLLOW); }

  enum ScanFlags : int {
    RECURSE = 1,     // descend into subfolders
    WITH_STATS = 2,  // stat every entry and report the records
  };

  // Receives results. An implementer overrides only the results it asks for; a result that
  // reaches a default throws out of the loop.
  class FileCb {
   public:
    FileCb() = default;
    // A copy is a new receiver: results on their way to the original stay with the original.
    FileCb(const FileCb&) = default;
    FileCb& operator=(const FileCb&) = default;
    // Results still on their way here are dropped.
    virtual ~FileCb() = default;

    // What reports to `cb` later keeps this: it reads null once `cb` is gone (and for null).
    static Liveness::Ref<FileCb> refTo(FileCb* cb) {
      return cb ? Liveness::Ref<FileCb>(cb, cb->liveness) : Liveness::Ref<FileCb>();
    }

    virtual void handleFileOpen();
    // `status` is libuv's negative code, or the count written for a short write.
    virtual void handleFileError(int status, const std::string& msg);
    // `len` is 0 at the end of the file.
    virtual void handleFileRead(char* bytes, int len);
    virtual void handleFileWrite(char* bytes, int len);
    virtual void handleFileStats(const uv_stat_t& stats);
    virtual void handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats);
    // For a missing path `stats` carries nothing.
    virtual void handleFileExists(bool exists, const uv_stat_t& stats);
    virtual void handleFileMkdirs();
    virtual void handleFileTruncate();
    virtual void handleFileRename();
    // A flush has reached the disk; `stats` is the file's (or folder's) stat record after it.
    virtual void handleFileFlush(const uv_stat_t& stats);
    virtual void handleFileRemove();

   private:
    Liveness liveness;
  };

  // A request on a path that reports to a FileCb; made by the static operations, the scanner
  // and the directory creation. The completion takes it back with `take` and frees it.
  struct PathRequest {
    explicit PathRequest(FileCb* target) : cb(FileCb::refTo(target)) { fs.data = this; }
    ~PathRequest() { uv_fs_req_cleanup(&fs); }
    PathRequest(const PathRequest&) = delete;
    PathRequest& operator=(const PathRequest&) = delete;

    static std::unique_ptr<PathRequest> take(uv_fs_t* fs) {
      return std::unique_ptr<PathRequest>(static_cast<PathRequest*>(fs->data));
    }
    // Throws the libuv error when `status` says the request was not started, freeing it.
    static void started(const char* name, int status, PathRequest* request);

    // Ends a request in its completion: frees it, tells a detached receiver nothing, reports a
    // failure through handleFileError and hands success to `succeed(cb, fs)`.
    template <class Succeed>
    static void complete(uv_fs_t* fs, Succeed&& succeed) {
      std::unique_ptr<PathRequest> request = take(fs);
      UvLoop::guard(fs->loop, [&] {
        FileCb* cb = request->cb.get();
        if (!cb) return;
        int status = static_cast<int>(fs->result);
        if (status < 0)
          cb->handleFileError(status, uv_strerror(status));
        else
          succeed(cb, fs);
      });
    }

    uv_fs_t fs{};
    Liveness::Ref<FileCb> cb;
  };

  // Starts opening `path`; the result comes as handleFileOpen or handleFileError.
  UvFile(const std::string& path, Access access, UvLoop* loop, FileCb* cb);
  ~UvFile() override;
  UvFile(const UvFile&) = delete;
  UvFile& operator=(const UvFile&) = delete;

  // Later results go to `cb` (a file is handed from one owner to the next this way).
  void setCb(FileCb* cb);

  // Each operation below throws the checkStatus text when libuv refuses to start it (a
  // negative `len` is refused the same way), and a plain error once the loop has closed.

  // Reads up to `len` bytes at `offset` straight into `bytes`: handleFileRead(bytes, n).
  void read(char* bytes, int len, long long offset);
  // Writes `len` bytes from `bytes` at `offset`: handleFileWrite(bytes, len) once all of them
  // are written. A short write goes on with the rest, so a full disk is reported by its own
  // error (UV_ENOSPC) through handleFileError.
  void write(char* bytes, int len, long long offset);
  // Sets the length of the file: handleFileTruncate().
  void truncate(long long offset);
  // Stat of the open file: handleFileStats(stats).
  void stats();
  // Puts the file's data on the disk (fdatasync), then stats it: handleFileFlush(stats).
  void flush();

  // Stat of a path: handleFileStats or handleFileError.
  static void stats(const std::string& path, UvLoop* loop, FileCb* cb);
  // handleFileExists(false, ...) for a missing path, handleFileExists(true, stats) for a
  // present one, handleFileError otherwise.
  static void exists(const std::string& path, UvLoop* loop, FileCb* cb);
  // The same for the entry itself: a symbolic link is reported as a link (isLink), not followed.
  static void existsNoFollow(const std::string& path, UvLoop* loop, FileCb* cb);
  // Removes a file or a symbolic link (never what a link points to): handleFileRemove.
  static void remove(const std::string& path, UvLoop* loop, FileCb* cb);
  // Puts a folder's entries on the disk (a rename in it, for instance): handleFileFlush(stats).
  static void flushFolder(const std::string& path, UvLoop* loop, FileCb* cb);
  static void rename(const std::string& oldPath, const std::string& newPath, UvLoop* loop, FileCb* cb);
  // Creates `path` and every missing parent: handleFileMkdirs or handleFileError.
  static void mkdirs(const std::string& path, UvLoop* loop, FileCb* cb);
  // Lists a folder with ScanFlags: handleFileScan(names, stats) or handleFileError.
  static void scan(const std::string& path, int flags, UvLoop* loop, FileCb* cb);

  static bool isDir(const uv_stat_t& stats);
  static bool isLink(const uv_stat_t& stats);
  static long long size(const uv_stat_t& stats);
  // The part after the last "/" or "\\"; the whole path when there is none.
  static std::string getName(const std::string& path);
  // The part before the last "/" or "\\"; "." when there is none.
  static std::string getDir(const std::string& path);

 protected:
  void onLoopClosing() override;

 private:
  struct State;
  struct FileRequest;

  FileRequest* newRequest(const char* name, char* bytes = nullptr, int len = 0);
  void start(const char* name, FileRequest* request, int status);
  static void settle(State* state);
  template <auto report>
  static void onCompleted(uv_fs_t* fs);
  static void reportRead(FileCb* cb, const uv_fs_t& fs);
  static void reportWrite(FileCb* cb, const uv_fs_t& fs);
  static void reportStats(FileCb* cb, const uv_fs_t& fs);
  static bool writeOn(uv_fs_t* fs);
  struct Flush;
  static void queueFlush(UvLoop* loop, Flush* flush);
  static void onFlushWork(uv_work_t* work);
  static void onFlushed(uv_work_t* work, int status);

  // Kept apart from the object: it lives on while requests of a deleted file are in flight.
  State* _state;
};

}  // namespace p2p
