// The congestion control on its own: acknowledgements, duplicates and time-outs handed in by
// hand, times on a clock that is a plain number.
#include "p2p/processes/CongestionControl.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace p2p;

namespace {

constexpr int32_t kPool = 100;

// Slow start up to a peer's pool of kPool.
CongestionControl connected() {
  CongestionControl congestion;
  congestion.onConnected(kPool);
  return congestion;
}

// Ten packets out from 1 on, none held by the peer.
constexpr CongestionControl::Flight kTenOut{10, 0, 1};

}  // namespace

TEST(CongestionControl, TheWindowGrowsByWhatEachAcknowledgementCovers) {
  struct Row {
    const char* name;
    std::vector<std::pair<int32_t, int32_t>> acks;  // from, to
    int32_t pool;
    double window;
    bool slowStart;
  };
  const Row rows[] = {
      {"slow start, one per packet", {{0, 1}, {1, 3}}, kPool, 5.0, true},
      {"slow start, a window's worth at most", {{0, 50}}, kPool, 4.0, true},
      {"slow start ends at the pool", {{0, 2}, {2, 6}, {6, 14}, {14, 30}, {30, 62}, {62, 126}}, kPool, 100.0, false},
      {"never above the pool", {{0, 2}, {2, 6}}, 5, 5.0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CongestionControl congestion;
    congestion.onConnected(row.pool);
    for (const auto& [from, to] : row.acks) congestion.onAck(from, to, row.pool);
    EXPECT_DOUBLE_EQ(congestion.window(), row.window);
    EXPECT_EQ(congestion.inSlowStart(), row.slowStart);
  }
}

TEST(CongestionControl, AvoidanceGrowsByCoveredOverWindowAndAThresholdEndsSlowStart) {
  CongestionControl congestion = connected();
  congestion.onAck(0, 6, kPool);  // 2, then 4: a window's worth; then 8 at the next
  congestion.onAck(6, 10, kPool);
  ASSERT_DOUBLE_EQ(congestion.window(), 8.0);
  for (int i = 0; i < 3; ++i) congestion.onDuplicateAck(kTenOut, 0, kPool);
  EXPECT_DOUBLE_EQ(congestion.window(), 16.0 / 3);  // cut to two thirds
  EXPECT_EQ(congestion.slowStartThreshold(), CongestionControl::InitialSlowStartWindow);
  EXPECT_FALSE(congestion.inSlowStart());
  const double w = congestion.window();
  congestion.onAck(10, 13, kPool);
  EXPECT_DOUBLE_EQ(congestion.window(), w + 3 / w);
  const double v = congestion.window();
  congestion.onAck(13, 40, kPool);  // a window's worth counts
  EXPECT_DOUBLE_EQ(congestion.window(), v + 1);
}

TEST(CongestionControl, OneCutPerLoss) {
  struct Row {
    const char* name;
    CongestionControl::Flight flight;
    int duplicates;
    int64_t missing;
    int32_t resends;  // due after them; 0: no cut
  };
  const Row rows[] = {
      {"two are no loss", kTenOut, 2, 0, 0},
      {"the third cuts", kTenOut, 3, 0, 1},
      {"the next three belong to the same loss", kTenOut, 6, 0, 1},
      {"as many as the peer misses, up to its pool", kTenOut, 3, 500, kPool},
      {"a peer that holds all in flight reads slowly", {10, 10, 1}, 3, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CongestionControl congestion = connected();
    int cuts = 0;
    for (int i = 0; i < row.duplicates; ++i) cuts += congestion.onDuplicateAck(row.flight, row.missing, kPool);
    EXPECT_EQ(cuts, row.resends ? 1 : 0);
    EXPECT_EQ(congestion.takeResends(), row.resends);
    EXPECT_FALSE(congestion.resendsDue());
  }
  // Once the packet the cut was for is acknowledged, a new loss cuts again.
  CongestionControl congestion = connected();
  for (int i = 0; i < 3; ++i) congestion.onDuplicateAck(kTenOut, 0, kPool);
  congestion.takeResends();
  congestion.onAck(0, 1, kPool);
  int cuts = 0;
  for (int i = 0; i < 3; ++i) cuts += congestion.onDuplicateAck({9, 0, 2}, 0, kPool);
  EXPECT_EQ(cuts, 1);
}

TEST(CongestionControl, ATimeOutRestartsSlowStartFromTheInitialWindow) {
  CongestionControl congestion = connected();
  congestion.onAck(0, 30, kPool);
  congestion.onTimeout(kTenOut);
  EXPECT_EQ(congestion.window(), CongestionControl::InitialWindow);
  EXPECT_TRUE(congestion.inSlowStart());
  EXPECT_EQ(congestion.takeResends(), 1);
  // Duplicates of the same loss do not cut again.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(congestion.onDuplicateAck(kTenOut, 0, kPool));

  CongestionControl stalled = connected();
  stalled.onAck(0, 2, kPool);
  stalled.onTimeout({10, 10, 1});  // all held by a slow reader: resend, but no cut
  EXPECT_EQ(stalled.window(), 4.0);
  EXPECT_EQ(stalled.takeResends(), 1);
}

TEST(CongestionControl, TheResendTimeOutIsTwiceTheRoundTripWithinItsBounds) {
  struct Row {
    uint64_t sample;  // every round trip measured, ms
    int32_t timeout;
  };
  for (const Row& row : {Row{100, 200}, Row{301, 600}, Row{1000, CongestionControl::MaxResendTimeout},
                         Row{1, CongestionControl::MinResendTimeout}}) {
    SCOPED_TRACE(row.sample);
    CongestionControl congestion;
    uint64_t now = 5000;
    for (int i = 0; i < 200; ++i, now += row.sample) congestion.sampleRoundTrip(now, now + row.sample);
    EXPECT_EQ(congestion.resendTimeout(), row.timeout);
    EXPECT_FALSE(congestion.timedOut(now, now + static_cast<uint64_t>(row.timeout)));
    EXPECT_TRUE(congestion.timedOut(now, now + static_cast<uint64_t>(row.timeout) + 1));
  }
  const CongestionControl fresh;  // 100 ms: a resend waits 10 ms after the last sending
  EXPECT_FALSE(fresh.worthResending(1000, 1009));
  EXPECT_TRUE(fresh.worthResending(1000, 1010));
}
