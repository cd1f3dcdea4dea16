#include "net/handlers/FilePort.h"

#include <stdexcept>
#include <utility>

namespace net {

namespace {

using p2p::UvFile;

// One open file and its request in flight. While a request runs, the core keeps itself and the
// memory of that request alive, even when its File handle has been deleted; the results go to
// whoever still listens.
class OpenCore : public UvFile::FileCb, public std::enable_shared_from_this<OpenCore> {
 public:
  OpenCore(p2p::UvLoop* loop, FilePort::Cb* cb) : loop(loop), listener(cb) {}

  void open(const std::string& path, UvFile::Access access) {
    file = std::make_unique<UvFile>(path, access, loop, this);
    began(nullptr);
  }
  void read(char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) {
    idle();
    file->read(bytes, len, offset);
    began(std::move(hold));
  }
  void write(const char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) {
    idle();
    // libuv only reads from the buffer of a write.
    file->write(const_cast<char*>(bytes), len, offset);
    began(std::move(hold));
  }
  void truncate(int64_t length) {
    idle();
    file->truncate(length);
    began(nullptr);
  }
  void stats() {
    idle();
    file->stats();
    began(nullptr);
  }
  void flush() {
    idle();
    file->flush();
    began(nullptr);
  }

  void listen(FilePort::Cb* cb) { listener = UvFile::CbRef(cb); }

  void handleFileOpen() override {
    finish([](FilePort::Cb* cb) { cb->handleFileOpen(); });
  }
  void handleFileError(int status, const std::string& msg) override {
    finish([&](FilePort::Cb* cb) { cb->handleFileError(status, msg); });
  }
  void handleFileRead(char* bytes, int len) override {
    finish([&](FilePort::Cb* cb) { cb->handleFileRead(bytes, len); });
  }
  void handleFileWrite(char* bytes, int len) override {
    finish([&](FilePort::Cb* cb) { cb->handleFileWrite(bytes, len); });
  }
  void handleFileTruncate() override {
    finish([](FilePort::Cb* cb) { cb->handleFileTruncate(); });
  }
  void handleFileStats(const uv_stat_t& stats) override {
    finish([&](FilePort::Cb* cb) { cb->handleFileStats(stats); });
  }
  void handleFileFlush(const uv_stat_t& stats) override {
    finish([&](FilePort::Cb* cb) { cb->handleFileFlush(stats); });
  }

 private:
  void idle() const {
    if (keepAlive) throw std::logic_error("one file request at a time");
  }
  void began(std::shared_ptr<void> hold) {
    memory = std::move(hold);
    keepAlive = shared_from_this();
  }
  // Reports, then lets go of the request's memory and of itself (which may free this core and
  // its UvFile; UvFile allows that from inside its own report).
  template <class Report>
  void finish(Report&& report) {
    std::shared_ptr<OpenCore> self = std::move(keepAlive);
    std::shared_ptr<void> used = std::move(memory);
    if (FilePort::Cb* cb = listener.get()) report(cb);
  }

  p2p::UvLoop* loop;
  UvFile::CbRef listener;
  std::unique_ptr<UvFile> file;
  std::shared_ptr<void> memory;            // what the request in flight reads into or writes from
  std::shared_ptr<OpenCore> keepAlive;     // set while a request is in flight
};

class UvOpenFile : public FilePort::File {
 public:
  explicit UvOpenFile(std::shared_ptr<OpenCore> core) : core(std::move(core)) {}
  ~UvOpenFile() override { core->listen(nullptr); }

  void setCb(FilePort::Cb* cb) override { core->listen(cb); }
  void read(char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) override {
    core->read(bytes, len, offset, std::move(hold));
  }
  void write(const char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) override {
    core->write(bytes, len, offset, std::move(hold));
  }
  void truncate(int64_t length) override { core->truncate(length); }
  void stats() override { core->stats(); }
  void flush() override { core->flush(); }

 private:
  std::shared_ptr<OpenCore> core;
};

class UvFilePort : public FilePort {
 public:
  explicit UvFilePort(p2p::UvLoop* loop) : loop(loop) {}

  std::unique_ptr<File> open(const std::string& path, UvFile::Access access, Cb* cb) override {
    auto core = std::make_shared<OpenCore>(loop, cb);
    core->open(path, access);
    return std::make_unique<UvOpenFile>(std::move(core));
  }
  void stats(const std::string& path, Cb* cb) override { UvFile::stats(path, loop, cb); }
  void exists(const std::string& path, Cb* cb) override { UvFile::existsNoFollow(path, loop, cb); }
  void rename(const std::string& from, const std::string& to, Cb* cb) override {
    UvFile::rename(from, to, loop, cb);
  }
  void remove(const std::string& path, Cb* cb) override { UvFile::remove(path, loop, cb); }
  void flushFolder(const std::string& path, Cb* cb) override { UvFile::flushFolder(path, loop, cb); }
  void mkdirs(const std::string& path, Cb* cb) override { UvFile::mkdirs(path, loop, cb); }
  void scan(const std::string& path, Cb* cb) override {
    UvFile::scan(path, UvFile::RECURSE | UvFile::WITH_STATS, loop, cb);
  }

 private:
  p2p::UvLoop* loop;
};

}  // namespace

std::unique_ptr<FilePort> newUvFilePort(p2p::UvLoop* loop) { return std::make_unique<UvFilePort>(loop); }

}  // namespace net
