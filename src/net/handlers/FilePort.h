// What the copy handlers need of the file system, behind one interface so that tests can put
// in-memory files (and their failures) in its place. Every operation returns at once and
// reports later, on the loop thread, to a p2p::UvFile::FileCb; a FileCb that is destroyed first
// hears nothing more.
//
// Memory handed to read or write is used in place by a request that may outlive everything
// else: deleting the File drops the results but does not stop a request already started. So
// each read and write takes a `hold`, which the port keeps until that request has completed,
// whether or not anyone still hears of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "p2p/uv/UvFile.h"

namespace p2p {
class UvLoop;
}

namespace net {

class FilePort {
 public:
  using Cb = p2p::UvFile::FileCb;

  // One open file. At most one request at a time.
  class File {
   public:
    virtual ~File() = default;
    // Later results go to `cb`.
    virtual void setCb(Cb* cb) = 0;
    // Up to `len` bytes at `offset` into `bytes`: handleFileRead(bytes, n), n == 0 at the end.
    virtual void read(char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) = 0;
    // All `len` bytes at `offset`: handleFileWrite(bytes, len), or handleFileError.
    virtual void write(const char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) = 0;
    // Sets the file's length: handleFileTruncate().
    virtual void truncate(int64_t length) = 0;
    // Stat of the open file: handleFileStats(stats).
    virtual void stats() = 0;
    // Its data on the disk, then its stat: handleFileFlush(stats).
    virtual void flush() = 0;
  };

  virtual ~FilePort() = default;

  // Starts opening `path`: handleFileOpen() or handleFileError.
  virtual std::unique_ptr<File> open(const std::string& path, p2p::UvFile::Access access, Cb* cb) = 0;
  // handleFileStats(stats) or handleFileError.
  virtual void stats(const std::string& path, Cb* cb) = 0;
  // handleFileExists(present, stats) of the entry itself: true for a folder too, and a symbolic
  // link is reported as one (UvFile::isLink), not followed. A missing path is no error.
  virtual void exists(const std::string& path, Cb* cb) = 0;
  virtual void rename(const std::string& from, const std::string& to, Cb* cb) = 0;
  // Removes a file or a symbolic link itself: handleFileRemove().
  virtual void remove(const std::string& path, Cb* cb) = 0;
  // A folder's entries on the disk (the renames in it): handleFileFlush(stats).
  virtual void flushFolder(const std::string& path, Cb* cb) = 0;
  // Creates `path` and its missing parents: handleFileMkdirs(), or handleFileError when it
  // cannot, also when a file stands where a folder is wanted.
  virtual void mkdirs(const std::string& path, Cb* cb) = 0;
  // Every file and folder under `path`, depth first, each folder's files before its subfolders,
  // with their stat records: handleFileScan(names, stats).
  virtual void scan(const std::string& path, Cb* cb) = 0;
};

// The real files, through p2p::UvFile on `loop`.
std::unique_ptr<FilePort> newUvFilePort(p2p::UvLoop* loop);

}  // namespace net
