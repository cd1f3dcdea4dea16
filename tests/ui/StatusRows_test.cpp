#include "ui/StatusRows.h"

#include <gtest/gtest.h>

namespace {

using Record = StatusRows::Record;

Record event(int id, const std::string& code, const std::string& name, int64_t size, int64_t offset,
             const std::string& reason = "", const std::string& from = "ann@x.y") {
  return Record(id, code, name, "/recv/" + name, from, "bob@x.y", size, offset, 10, reason);
}

TEST(StatusRowsTest, RowsKeyByPathNameAndBothUsers) {
  StatusRows rows;
  bool appended = false;
  EXPECT_EQ(rows.merge(event(3, "C1", "a.txt", 100, 10), &appended), 0u);
  EXPECT_TRUE(appended);
  EXPECT_EQ(rows.merge(event(3, "C1", "b.txt", 100, 0)), 1u);  // two files of one ticket: two rows
  // The same file again from the same sender to the same place, under a new code: same row.
  EXPECT_EQ(rows.merge(event(9, "C2", "a.txt", 100, 60, ""), &appended), 0u);
  EXPECT_FALSE(appended);
  EXPECT_EQ(rows.merge(event(3, "C1", "a.txt", 100, 10, "", "eve@x.y")), 2u);  // another sender
  ASSERT_EQ(rows.size(), 3u);
  // Counters and reason follow the latest event; the rest stays from the first.
  EXPECT_EQ(rows.at(0).offset, 60);
  EXPECT_EQ(rows.at(0).code, "C1");
  EXPECT_EQ(rows.at(0).commandId, 3);
}

TEST(StatusRowsTest, RemoveCompletedKeepsRecordsAlignedWithRows) {
  StatusRows rows;
  rows.merge(event(1, "C", "done1", 5, 5));
  rows.merge(event(1, "C", "running", 5, 2));
  rows.merge(event(1, "C", "done2", 0, 0));  // an empty file is complete
  EXPECT_EQ(rows.removeCompleted(), (std::vector<size_t>{2, 0}));  // last first, as rows are deleted
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.at(0).fileName, "running");
  rows.remove(5);  // out of range: nothing
  rows.remove(0);
  EXPECT_EQ(rows.size(), 0u);
}

// Pause only on a running receive (sending rows carry no command id), Resume only on a paused
// receive, Open only on a finished file.
TEST(StatusRowsTest, WhatTheMenuOffers) {
  const struct {
    Record row;
    bool pause, resume, open;
  } cases[] = {
      {event(4, "C", "f", 100, 50), true, false, false},
      {event(0, "C", "f", 100, 50), false, false, false},
      {event(4, "C", "f", 100, 50, "Paused"), false, true, false},
      {event(0, "C", "f", 100, 50, "Paused"), false, false, false},
      {event(4, "C", "f", 100, 50, "disk full"), false, false, false},
      {event(4, "C", "f", 100, 100), false, false, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ((std::vector<bool>{StatusRows::canPause(c.row), StatusRows::canResume(c.row), StatusRows::canOpen(c.row)}),
              (std::vector<bool>{c.pause, c.resume, c.open}))
        << c.row.commandId << " " << c.row.reason << " " << c.row.offset;
}

}  // namespace
