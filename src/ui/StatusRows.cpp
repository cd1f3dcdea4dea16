#include "ui/StatusRows.h"

namespace {

bool sameKey(const StatusRows::Record& a, const StatusRows::Record& b) {
  return a.localPath == b.localPath && a.fileName == b.fileName && a.fromUsername == b.fromUsername &&
         a.toUsername == b.toUsername;
}

}  // namespace

size_t StatusRows::merge(const Record& event, bool* appended) {
  for (size_t i = 0; i < rows.size(); ++i) {
    Record& row = *rows[i];
    if (!sameKey(row, event)) continue;
    row.size = event.size;
    row.offset = event.offset;
    row.bytesSec = event.bytesSec;
    row.reason = event.reason;
    if (appended) *appended = false;
    return i;
  }
  rows.push_back(std::make_unique<Record>(event));
  if (appended) *appended = true;
  return rows.size() - 1;
}

void StatusRows::remove(size_t index) {
  if (index < rows.size()) rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(index));
}

std::vector<size_t> StatusRows::removeCompleted() {
  std::vector<size_t> removed;
  for (size_t i = rows.size(); i-- > 0;) {
    if (!canOpen(*rows[i])) continue;
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
    removed.push_back(i);
  }
  return removed;
}

bool StatusRows::canPause(const Record& row) {
  return row.reason.empty() && row.offset != row.size && row.commandId != 0;
}

bool StatusRows::canResume(const Record& row) { return row.reason == "Paused" && row.commandId != 0; }
