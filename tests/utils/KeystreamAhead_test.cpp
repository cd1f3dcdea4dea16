#include "utils/KeystreamAhead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const uint8_t kIv[16] = {'m', 'i', 'r', 'e', 'l', '-', 'i', 'v', '-', 'o', 'p', 'e', 'n', 'e', 'r', '!'};

KeystreamAhead::Limits limits(size_t startAfter, size_t ringSize, size_t chunk) {
  KeystreamAhead::Limits l;
  l.startAfter = startAfter, l.ringSize = ringSize, l.chunk = chunk;
  return l;
}

}  // namespace

// Whatever the ring's shape, the calls' sizes and the timing of the producer (ahead, caught up,
// asleep, stopped), the bytes are the inline cipher's over the same calls.
TEST(KeystreamAhead, GivesTheInlineCiphersBytesAcrossEveryBoundary) {
  struct Row {
    const char* name;
    KeystreamAhead::Limits limits;
    size_t longestCall;
    int pauseEvery;    // calls between pauses that let the producer get ahead (0: none)
    size_t stopAfter;  // bytes after which the producer is told to stop (0: never)
  };
  const Row rows[] = {
      {"the ring wraps inside calls", limits(0, 1000, 96), 700, 0, 0},
      {"the ring wraps inside calls, the producer ahead", limits(0, 1000, 96), 700, 5, 0},
      {"calls longer than the ring", limits(0, 512, 512), 3000, 3, 0},
      {"starts in mid-call, packet-sized calls", limits(5000, 4096, 1024), 1415, 0, 0},
      {"the producer fills the ring and sleeps", limits(100, 2048, 256), 600, 40, 0},
      {"told to stop halfway", limits(0, 3000, 500), 1415, 20, 150000},
      {"never ahead", limits(KeystreamAhead::Never, 1000, 100), 1415, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const size_t total = 300000;
    Bytes plain(total);
    std::mt19937 random(7);
    for (uint8_t& b : plain) b = static_cast<uint8_t>(random());
    Sosemanuk reference{};
    reference.setKey(kKey);
    reference.setIv(kIv);
    KeystreamAhead ahead(kKey, kIv, row.limits);
    Bytes expected(total), out(plain);
    int calls = 0;
    for (size_t done = 0; done < total; ++calls) {
      const size_t n = std::min<size_t>(random() % (row.longestCall + 1), total - done);
      const auto at = static_cast<int32_t>(done), len = static_cast<int32_t>(n);
      reference.encrypt(expected.data(), at, len, plain.data(), at);
      if (calls % 3 == 0) {
        ahead.encrypt(out.data(), at, len, out.data(), at);  // in place
      } else {
        Bytes piece(n + 5);
        ahead.encrypt(piece.data(), 5, len, plain.data(), at);
        std::copy(piece.begin() + 5, piece.end(), out.begin() + at);
      }
      done += n;
      if (row.stopAfter && done >= row.stopAfter) ahead.stopAhead();
      EXPECT_EQ(ahead.generatingAhead(), done >= row.limits.startAfter && (!row.stopAfter || done < row.stopAfter))
          << done << " bytes";
      if (row.pauseEvery && calls % row.pauseEvery == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_EQ(ahead.position(), total);
    const uint64_t made = ahead.madeAhead();
    EXPECT_TRUE(row.limits.startAfter == KeystreamAhead::Never ? made == 0 : !row.pauseEvery || made > 0) << made;
    ASSERT_TRUE(out == expected);
  }
  EXPECT_THROW(KeystreamAhead(kKey, kIv, limits(0, 100, 101)), std::invalid_argument);
  KeystreamAhead ahead(kKey, kIv);
  uint8_t buf[4] = {};
  EXPECT_THROW(ahead.encrypt(buf, 0, -1, buf, 0), std::invalid_argument);
  EXPECT_THROW(ahead.encrypt(buf, -1, 4, buf, 0), std::invalid_argument);
}
