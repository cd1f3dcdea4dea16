#include "sole/sole.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "platform/Platform.h"

namespace {

// The 60-bit time stamp back out of a version-1 UUID.
uint64_t stampOf(const sole::uuid& id) {
  uint64_t low = id.ab >> 32, mid = (id.ab >> 16) & 0xffff, high = id.ab & 0x0fff;
  return high << 48 | mid << 32 | low;
}

}  // namespace

TEST(SoleTest, TextFormAndTimeBasedLayout) {
  const std::pair<sole::uuid, std::string> cases[] = {
      {sole::uuid{}, "00000000-0000-0000-0000-000000000000"},
      {sole::uuid{0x0123456789abcdefULL, 0xfedcba9876543210ULL}, "01234567-89ab-cdef-fedc-ba9876543210"},
      {sole::make_uuid1(0x0123456789abcdefULL, 0x1234, 0xaabbccddeeffULL), "89abcdef-4567-1123-9234-aabbccddeeff"},
      // Bits beyond each field's width must not spill into version, variant or neighbours.
      {sole::make_uuid1(~0ULL, 0xffff, ~0ULL), "ffffffff-ffff-1fff-bfff-ffffffffffff"},
      {sole::make_uuid1(0, 0, 0), "00000000-0000-1000-8000-000000000000"},
  };
  for (const auto& [id, text] : cases) EXPECT_EQ(id.str(), text);
}

TEST(SoleTest, NewIdentityCarriesTimeClockSequenceAndNode) {
  const uint64_t before = static_cast<uint64_t>(platform::utcMicros()) * 10 + sole::kGregorianOffset;
  const sole::uuid first = sole::uuid1(), second = sole::uuid1();
  const std::regex layout("[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(first.str(), layout)) << first.str();
  EXPECT_NE(first.str(), second.str());
  EXPECT_GE(stampOf(first), before);
  EXPECT_LT(stampOf(first), before + 10000000ULL);  // within a second
  EXPECT_GT(stampOf(second), stampOf(first));
  EXPECT_EQ((first.cd >> 48) & 0x3fff, sole::clock_sequence());
  EXPECT_EQ(first.cd & 0xffffffffffffULL, sole::get_any_mac48());
  EXPECT_LT(sole::clock_sequence(), 0x4000);
}

TEST(SoleTest, StampsKeepIncreasingWhenTheClockStepsBack) {
  // Each thread has its own last stamp; a fresh thread starts from nothing.
  auto replay = [] {
    std::vector<uint64_t> stamps;
    for (int64_t micros : {1000, 1000, 400, 400, 1000, 2000}) stamps.push_back(sole::get_time_from(micros, 0));
    stamps.push_back(sole::get_time_from(2000, 5));
    return stamps;
  };
  const std::vector<uint64_t> expected = {10000, 10001, 10002, 10003, 10004, 20000, 20006};
  for (int thread = 0; thread < 2; ++thread) {
    std::vector<uint64_t> stamps;
    std::thread([&] { stamps = replay(); }).join();
    EXPECT_EQ(stamps, expected);
  }
}

TEST(SoleTest, NodeWithoutAdapterIsRandomMulticast) {
  const uint64_t node = sole::node_from(nullptr);
  EXPECT_NE(node & 0x010000000000ULL, 0u) << std::hex << node;
  EXPECT_EQ(node >> 48, 0u);
  EXPECT_EQ(sole::node_from(nullptr), node) << "drawn once per process";
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(sole::node_from(mac), 0x001122334455ULL);
}
