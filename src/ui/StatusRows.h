// The Status page's row model: one record per transferred file, on both sides, keyed by
// (localPath, fileName, fromUsername, toUsername). A record is a copy of the first event of
// its row; later events of the same key update its size, offset, rate and reason only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/Api.h"

class StatusRows {
 public:
  using Record = net::Api::SendRecvEvent;

  // Updates the row of the event's key or appends one; returns its index. `appended` tells which.
  size_t merge(const Record& event, bool* appended = nullptr);

  size_t size() const { return rows.size(); }
  const Record& at(size_t index) const { return *rows.at(index); }

  void remove(size_t index);
  // Removes every finished row (offset equals size); returns the removed indexes, last first.
  std::vector<size_t> removeCompleted();
  void clear() {
    rows.clear();
    index.clear();
  }

  // What the row's menu offers. Pause only on a running receive (receiving rows carry the id
  // of the command that started them, sending rows 0); Resume only on a paused receive.
  static bool canPause(const Record& row);
  static bool canResume(const Record& row);
  static bool canOpen(const Record& row) { return row.offset == row.size; }

 private:
  static std::string keyOf(const Record& row);
  void reindex();

  std::vector<std::unique_ptr<Record>> rows;
  // Row by key: a transfer of many files must not cost a scan of every row per event.
  std::unordered_map<std::string, size_t> index;
};
