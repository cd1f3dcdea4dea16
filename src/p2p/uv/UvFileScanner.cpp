#include "p2p/uv/UvFileScanner.h"

#include <sys/stat.h>

#include <iterator>
#include <memory>

namespace p2p {

UvFileScanner::UvFileScanner(const std::string& path, int flags, UvLoop* loop, UvFile::FileCb* cb)
    : path(path), flags(flags), loop(loop), cb(UvFile::FileCb::refTo(cb)) {
  auto* request = new UvFile::PathRequest(this);
  // If it cannot start, the new-expression frees this object.
  UvFile::PathRequest::started("uv_fs_scandir",
                               uv_fs_scandir(loop->uvLoop(), &request->fs, path.c_str(), 0, onListed), request);
}

void UvFileScanner::onListed(uv_fs_t* fs) {
  UvFile::PathRequest::complete(fs, [](UvFile::FileCb* cb, uv_fs_t* done) {
    auto* self = static_cast<UvFileScanner*>(cb);
    uv_dirent_t entry;
    while (uv_fs_scandir_next(done, &entry) != UV_EOF) {
      if (entry.type == UV_DIRENT_FILE)
        self->files.emplace_back(entry.name);
      else if (entry.type == UV_DIRENT_DIR)
        self->dirs.emplace_back(entry.name);
      else if (entry.type == UV_DIRENT_UNKNOWN)
        self->unsure.emplace_back(entry.name);
    }
    self->next();
  });
}

// An entry the listing gave no type for: lstat tells, without following a link.
void UvFileScanner::onTypeLearned(uv_fs_t* fs) {
  UvFile::PathRequest::complete(fs, [](UvFile::FileCb* cb, uv_fs_t* done) {
    auto* self = static_cast<UvFileScanner*>(cb);
    std::string entry = std::move(self->unsure.front());
    self->unsure.pop_front();
    if (S_ISREG(done->statbuf.st_mode))
      self->files.push_back(std::move(entry));
    else if (S_ISDIR(done->statbuf.st_mode))
      self->dirs.push_back(std::move(entry));
    self->next();
  });
}

void UvFileScanner::handleFileStats(const uv_stat_t& record) {
  names.push_back(name);
  stats.push_back(record);
  if (UvFile::isDir(record) && recurse())
    startNext([&] { startNested(); });
  else
    next();
}

void UvFileScanner::handleFileScan(std::deque<std::string> nestedNames, std::deque<uv_stat_t> nestedStats) {
  names.insert(names.end(), std::make_move_iterator(nestedNames.begin()), std::make_move_iterator(nestedNames.end()));
  stats.insert(stats.end(), nestedStats.begin(), nestedStats.end());
  next();
}

void UvFileScanner::handleFileError(int status, const std::string& msg) {
  std::unique_ptr<UvFileScanner> self = owned();
  if (UvFile::FileCb* target = cb.get()) target->handleFileError(status, msg);
}

void UvFileScanner::next() {
  bool over = false;
  startNext([&] { over = advance(); });
  if (over) finish();
}

// Goes on until a request is in flight (false) or nothing is left to do (true).
bool UvFileScanner::advance() {
  while (true) {
    if (!cb.get()) return true;  // nobody is waiting for the result any longer
    if (!unsure.empty()) {
      auto* request = new UvFile::PathRequest(this);
      std::string entry = path + "/" + unsure.front();
      UvFile::PathRequest::started(
          "uv_fs_lstat", uv_fs_lstat(loop->uvLoop(), &request->fs, entry.c_str(), onTypeLearned), request);
      return false;
    }
    bool isFile = !files.empty();
    if (!isFile && dirs.empty()) return true;
    std::deque<std::string>& from = isFile ? files : dirs;
    name = path + "/" + from.front();
    from.pop_front();
    if (withStats()) {
      UvFile::stats(name, loop, this);
      return false;
    }
    // Without records every name is still listed, in the same order.
    names.push_back(name);
    if (!isFile && recurse()) {
      startNested();
      return false;
    }
  }
}

void UvFileScanner::startNested() { new UvFileScanner(name, flags, loop, this); }

void UvFileScanner::finish() {
  std::unique_ptr<UvFileScanner> self = owned();
  if (UvFile::FileCb* target = cb.get()) target->handleFileScan(std::move(names), std::move(stats));
}

}  // namespace p2p
