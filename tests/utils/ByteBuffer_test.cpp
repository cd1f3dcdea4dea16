#include "utils/ByteBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "support/TestSupport.h"

using testsupport::failureOf;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytesOf(const ByteBuffer& b, int32_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(b.array());
  return Bytes(p, p + n);
}

}  // namespace

TEST(ByteBuffer, IntegersAreBigEndianTwosComplement) {
  ByteBuffer b(12);
  b.putInt(1).putLong(-1);
  EXPECT_EQ(bytesOf(b, 12), (Bytes{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  int8_t raw[] = {-1, -1, -1, -2, 0x01, 0x23, 0x45, 0x67, -0x77, -0x55, -0x33, -0x11, 'a', 0, -1};
  ByteBuffer view(raw, sizeof raw);
  EXPECT_EQ(view.getInt(), -2);
  EXPECT_EQ(view.getLong(), int64_t(0x0123456789ABCDEFLL));
  EXPECT_EQ(view.getString(3), std::string("a\0\xFF", 3));
}

// Reads and writes past the limit (not the capacity), negative sizes, and sizes that would wrap
// past INT32_MAX all fail with the buffer's error and move nothing.
TEST(ByteBuffer, AccessPastTheLimitFailsAndMovesNothing) {
  ByteBuffer b(7);
  b.position(4);
  EXPECT_EQ(failureOf([&] { b.getInt(); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { b.getLong(); }), "checkLimit");
  EXPECT_EQ(b.position(), 4);
  b.position(3).getInt();  // an exact fit succeeds
  EXPECT_EQ(failureOf([&] { b.get(); }), "checkLimit");

  ByteBuffer w(100);
  int8_t data[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  w.put(data, 10).flip();
  EXPECT_EQ(failureOf([&] { w.put(data, 11); }), "checkLimit");
  EXPECT_EQ(bytesOf(w, 12), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0}));
  w.clear().put(data, 1, 3);
  EXPECT_EQ(bytesOf(w, 4), (Bytes{2, 3, 4, 4}));

  EXPECT_EQ(failureOf([] { ByteBuffer b(-1); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { w.getString(-1); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { w.get(data, -5); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { w.put(data, INT32_MIN); }), "checkLimit");
  EXPECT_EQ(w.position(), 3);
  int8_t one = 0;
  ByteBuffer huge(&one, INT32_MAX);
  huge.position(INT32_MAX - 4);
  EXPECT_EQ(failureOf([&] { huge.getString(INT32_MAX); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { huge.getLong(); }), "checkLimit");
  EXPECT_EQ(huge.position(), INT32_MAX - 4);
}
