// Creates a folder and every missing parent for UvFile::mkdirs (as mkdir -p does), one
// request at a time on the loop thread; owns itself until it reports, once (SelfOwned).
//
// It climbs towards the root while parents are missing, then creates the missing ones on the
// way down. It always ends: a folder that cannot be created on the way down fails with its
// error, as does a path whose parent is no shorter than itself. Something other than a folder
// standing at a wanted path (a file, a dangling symbolic link) is an error, not success.
#pragma once

#include <deque>
#include <string>

#include "p2p/uv/SelfOwned.h"
#include "p2p/uv/UvFile.h"

namespace p2p {

class UvFileMkdirs : public UvFile::FileCb, public SelfOwned<UvFileMkdirs> {
 public:
  // Starts creating `path` (mode 0777); made with new, it owns itself. If the caller's `cb` is
  // destroyed first, it stops at its next step without reporting.
  UvFileMkdirs(const std::string& path, UvLoop* loop, UvFile::FileCb* cb);

  // Ends with this error.
  void handleFileError(int status, const std::string& msg) override;
  // `path` is there: go on down, or report success.
  void handleFileMkdirs() override;
  // Something already stands at `path`: it must be a folder.
  void handleFileStats(const uv_stat_t& stats) override;
  // A parent of `path` is missing: climb to it.
  void handleFileNotFound();

 private:
  static void onMade(uv_fs_t* fs);
  void make();

  std::string path;  // the folder being created now
  UvLoop* loop;
  Liveness::Ref<UvFile::FileCb> cb;
  std::deque<std::string> dirs;  // still to create, deepest first at the front
  bool descending = false;       // a parent was found or made; missing ones are errors now
};

}  // namespace p2p
