#include "p2p/uv/UvFileMkdirs.h"

#include <memory>

namespace p2p {

UvFileMkdirs::UvFileMkdirs(const std::string& path, UvLoop* loop, UvFile::FileCb* cb)
    : path(path), loop(loop), cb(UvFile::FileCb::refTo(cb)) {
  make();  // if it cannot start, the new-expression frees this object
}

void UvFileMkdirs::make() {
  auto* request = new UvFile::PathRequest(this);
  UvFile::PathRequest::started("uv_fs_mkdir",
                               uv_fs_mkdir(loop->uvLoop(), &request->fs, path.c_str(), 0777, onMade), request);
}

void UvFileMkdirs::onMade(uv_fs_t* fs) {
  auto request = UvFile::PathRequest::take(fs);
  UvLoop::guard(fs->loop, [&] {
    auto* self = static_cast<UvFileMkdirs*>(request->cb.get());
    if (!self) return;
    if (!self->cb) {  // nobody is waiting for the result any longer
      self->owned().reset();
      return;
    }
    int status = static_cast<int>(fs->result);
    if (status == 0)
      self->handleFileMkdirs();
    else if (status == UV_EEXIST)
      self->startNext([&] { UvFile::stats(self->path, self->loop, self); });
    else if (status == UV_ENOENT && !self->descending)
      self->handleFileNotFound();
    else
      self->handleFileError(status, uv_strerror(status));
  });
}

void UvFileMkdirs::handleFileStats(const uv_stat_t& stats) {
  if (UvFile::isDir(stats))
    handleFileMkdirs();
  else
    handleFileError(UV_EEXIST, uv_strerror(UV_EEXIST));
}

void UvFileMkdirs::handleFileNotFound() {
  std::string parent = UvFile::getDir(path);
  if (parent.size() >= path.size()) {  // no parent left to climb to
    handleFileError(UV_ENOENT, uv_strerror(UV_ENOENT));
    return;
  }
  dirs.push_back(path);
  path = parent;
  startNext([&] { make(); });
}

void UvFileMkdirs::handleFileMkdirs() {
  descending = true;
  if (dirs.empty()) {
    std::unique_ptr<UvFileMkdirs> self = owned();
    if (UvFile::FileCb* target = cb.get()) target->handleFileMkdirs();
    return;
  }
  path = dirs.back();
  dirs.pop_back();
  startNext([&] { make(); });
}

void UvFileMkdirs::handleFileError(int status, const std::string& msg) {
  std::unique_ptr<UvFileMkdirs> self = owned();
  if (UvFile::FileCb* target = cb.get()) target->handleFileError(status, msg);
}

}  // namespace p2p
