#include "utils/Checksums.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

template <typename Sum>
int64_t sumOf(const std::vector<int8_t>& bytes) {
  Sum sum;
  sum.update(bytes.data(), 0, static_cast<int32_t>(bytes.size()));
  return sum.getValue();
}

// Straight transcription of the wire rule, one byte at a time.
struct ReferenceFletcher {
  uint32_t sum1 = 0, sum2 = 0;
  static uint32_t s(int8_t b) { return static_cast<uint32_t>(static_cast<int32_t>(b)); }
  void update(const int8_t* b, int64_t off, int32_t len) {
    const int64_t end = off + len;
    for (int64_t i = off; i < end; i += 4) {
      uint32_t word = s(b[i]);
      if (i + 1 < end) word |= s(b[i + 1]) << 8;
      if (i + 2 < end) word |= s(b[i + 2]) << 16;
      if (i + 3 < end) word |= s(b[i + 3]) << 24;
      sum1 += word;
      sum2 += sum1;
    }
  }
  int64_t value() const { return static_cast<int64_t>(uint64_t{sum1} | uint64_t{sum2} << 32); }
};

}  // namespace

TEST(Fletcher64, WireExamples) {
  EXPECT_EQ(0, sumOf<Fletcher64>({}));
  EXPECT_EQ(0x0403020104030201LL, sumOf<Fletcher64>({1, 2, 3, 4}));
  EXPECT_EQ(0x0806040704030206LL, sumOf<Fletcher64>({1, 2, 3, 4, 5}));
  EXPECT_EQ(-1, sumOf<Fletcher64>({-1}));
  EXPECT_EQ(static_cast<int64_t>(0xFFFF8000FFFF8000ULL), sumOf<Fletcher64>({0, -128}));
  EXPECT_EQ(0x100D0A070C0A0806LL, sumOf<Fletcher64>({1, 2, 3, 4, 5, 6, 7, 8}));
}

// Grouping restarts at every call, the offset indexes the array, and reset starts over.
TEST(Fletcher64, MatchesByteByByteReference) {
  std::mt19937 rng(2024);
  std::vector<int8_t> data(64 + 7 + 256);
  for (int8_t& b : data) b = static_cast<int8_t>(rng());
  Fletcher64 fast;
  for (int32_t off = 0; off < 8; ++off) {
    for (int32_t len = 0; len <= 64; ++len) {
      fast.reset();
      ReferenceFletcher reference;
      fast.update(data.data(), off, len);
      reference.update(data.data(), off, len);
      fast.update(data.data(), off + 1, 256 - len);
      reference.update(data.data(), off + 1, 256 - len);
      ASSERT_EQ(reference.value(), fast.getValue()) << "off " << off << " len " << len;
    }
  }
}

TEST(Xor64, BigEndianWordsIgnoredTailOffsetAndReset) {
  EXPECT_EQ(0, sumOf<Xor64>({0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(0x0001020304050607LL, sumOf<Xor64>({0, 1, 2, 3, 4, 5, 6, 7, 9, 9, 9, 9}));
  EXPECT_EQ(static_cast<int64_t>(0x8000000000000001ULL) ^ 0x0102030405060708LL,
            sumOf<Xor64>({-128, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8}));

  Xor64 x;
  const int8_t bytes[] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  x.update(bytes, 10, 8);
  EXPECT_EQ(0x0001020304050607LL, x.getValue());
  x.reset();
  x.update(bytes, 11, 8);
  EXPECT_EQ(0x0102030405060708LL, x.getValue());
}
