#include "ui/StatusRows.h"

// The four parts joined by a byte no name holds.
std::string StatusRows::keyOf(const Record& row) {
  return row.localPath + '\0' + row.fileName + '\0' + row.fromUsername + '\0' + row.toUsername;
}

void StatusRows::reindex() {
  index.clear();
  for (size_t i = 0; i < rows.size(); ++i) index.emplace(keyOf(*rows[i]), i);
}

size_t StatusRows::merge(const Record& event, bool* appended) {
  const auto found = index.find(keyOf(event));
  if (found != index.end()) {
    Record& row = *rows[found->second];
    row.size = event.size;
    row.offset = event.offset;
    row.bytesSec = event.bytesSec;
    row.reason = event.reason;
    if (appended) *appended = false;
    return found->second;
  }
  rows.push_back(std::make_unique<Record>(event));
  index.emplace(keyOf(event), rows.size() - 1);
  if (appended) *appended = true;
  return rows.size() - 1;
}

void StatusRows::remove(size_t at) {
  if (at >= rows.size()) return;
  rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
  reindex();
}

std::vector<size_t> StatusRows::removeCompleted() {
  std::vector<size_t> removed;
  for (size_t i = rows.size(); i-- > 0;) {
    if (!canOpen(*rows[i])) continue;
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
    removed.push_back(i);
  }
  if (!removed.empty()) reindex();
  return removed;
}

bool StatusRows::canPause(const Record& row) {
  return row.reason.empty() && row.offset != row.size && row.commandId != 0;
}

bool StatusRows::canResume(const Record& row) { return row.reason == "Paused" && row.commandId != 0; }
