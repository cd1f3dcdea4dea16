// Lists a folder tree for UvFile::scan: one request at a time on the loop thread, one report
// at the end (the names and, with WITH_STATS, their stat records); it owns itself until that
// report (SelfOwned).
//
// Order: for each folder, first its files, then each subfolder followed at once by its whole
// content (depth first, pre-order); the scanned folder itself is not listed. Symbolic links and
// entries that are neither files nor folders are skipped, so a link can never make the scan
// loop; an entry whose type the listing does not give is looked up first. An error anywhere in
// the tree ends the whole scan with one handleFileError and no partial result.
#pragma once

#include <deque>
#include <string>

#include "p2p/uv/SelfOwned.h"
#include "p2p/uv/UvFile.h"

namespace p2p {

class UvFileScanner : public UvFile::FileCb, public SelfOwned<UvFileScanner> {
 public:
  // Starts listing `path`; made with new, it owns itself. If the caller's `cb` is destroyed
  // first, the scan stops at its next step without reporting.
  UvFileScanner(const std::string& path, int flags, UvLoop* loop, UvFile::FileCb* cb);

  // Results of this scanner's own stats and of the nested scanners it starts.
  void handleFileError(int status, const std::string& msg) override;
  void handleFileStats(const uv_stat_t& stats) override;
  void handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats) override;

 private:
  static void onListed(uv_fs_t* fs);
  static void onTypeLearned(uv_fs_t* fs);

  void next();
  bool advance();
  void startNested();
  void finish();
  bool withStats() const { return (flags & UvFile::WITH_STATS) != 0; }
  bool recurse() const { return (flags & UvFile::RECURSE) != 0; }

  std::string path;  // the folder being listed
  std::string name;  // full path of the entry in hand
  int flags;
  UvLoop* loop;
  Liveness::Ref<UvFile::FileCb> cb;
  std::deque<std::string> dirs;    // subfolder names still to visit
  std::deque<std::string> files;   // file names still to visit
  std::deque<std::string> unsure;  // names whose type the listing did not give
  std::deque<std::string> names;   // the result
  std::deque<uv_stat_t> stats;     // the result, one per name with WITH_STATS
};

}  // namespace p2p
