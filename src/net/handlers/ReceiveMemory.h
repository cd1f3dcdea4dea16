// What one receive of a ticket remembers across the connections of its paths, so that a retry
// stays cheap without letting a sender learn anything about files it did not send:
//  - the files this receive itself completed, as they were on the disk then: only those may be
//    shown to the sender's own comparison under their final name;
//  - per requested path, how many connections in a row ended after an answer of the receiver's
//    comparison without a file moving: each answer tells the sender whether its guess of a held
//    prefix was right, so a sender that only ever asks is stopped after a few.
// Shared by the receive sequence and its copy connections (which may outlive it).
#pragma once

#include <uv.h>

#include <cstdint>
#include <map>
#include <string>

namespace net {

struct ReceiveMemory {
  // Connections that end after the comparison without data, in a row, after which a path is
  // refused for good.
  static constexpr int MAX_ENDS_AFTER_COMPARISON = 3;

  struct Completed {
    int64_t size = 0;
    int64_t mtimeSec = 0;
    int64_t mtimeNsec = 0;
    uint64_t ino = 0;
  };

  void complete(const std::string& finalPath, const uv_stat_t& stats) {
    completed[finalPath] = Completed{static_cast<int64_t>(stats.st_size), stats.st_mtim.tv_sec,
                                     stats.st_mtim.tv_nsec, stats.st_ino};
  }
  // True when `stats` is still the file this receive completed under that name.
  bool completedHere(const std::string& finalPath, const uv_stat_t& stats) const {
    auto it = completed.find(finalPath);
    return it != completed.end() && it->second.size == static_cast<int64_t>(stats.st_size) &&
           it->second.mtimeSec == stats.st_mtim.tv_sec && it->second.mtimeNsec == stats.st_mtim.tv_nsec &&
           it->second.ino == stats.st_ino;
  }

  std::map<std::string, Completed> completed;
  std::map<std::string, int> endsAfterComparison;
};

}  // namespace net
