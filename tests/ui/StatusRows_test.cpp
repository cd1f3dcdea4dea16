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

TEST(StatusRowsTest, WhatTheMenuOffers) {
  const Record running = event(4, "C", "f", 100, 50);
  const Record sending = event(0, "C", "f", 100, 50);
  const Record paused = event(4, "C", "f", 100, 50, "Paused");
  const Record failed = event(4, "C", "f", 100, 50, "disk full");
  const Record complete = event(4, "C", "f", 100, 100);
  EXPECT_TRUE(StatusRows::canPause(running));
  EXPECT_FALSE(StatusRows::canPause(sending));  // a sending row has nothing to pause here
  EXPECT_FALSE(StatusRows::canPause(paused));
  EXPECT_FALSE(StatusRows::canPause(complete));
  EXPECT_TRUE(StatusRows::canResume(paused));
  EXPECT_FALSE(StatusRows::canResume(event(0, "C", "f", 100, 50, "Paused")));
  EXPECT_FALSE(StatusRows::canResume(failed));
  EXPECT_TRUE(StatusRows::canOpen(complete));
  EXPECT_FALSE(StatusRows::canOpen(running));
}

}  // namespace
