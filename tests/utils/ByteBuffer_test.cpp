#include "utils/ByteBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "support/TestSupport.h"

using testsupport::failureOf;

namespace {

std::vector<uint8_t> bytesOf(const ByteBuffer& b, int32_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(b.array());
  return std::vector<uint8_t>(p, p + n);
}

}  // namespace

TEST(ByteBuffer, IntegersAreBigEndianTwosComplement) {
  ByteBuffer b(12);
  b.putInt(1).putLong(-1);
  EXPECT_EQ(bytesOf(b, 12), (std::vector<uint8_t>{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  int8_t raw[] = {-1, -1, -1, -2, 0x01, 0x23, 0x45, 0x67, -0x77, -0x55, -0x33, -0x11, 'a', 0, -1};
  ByteBuffer view(raw, sizeof raw);
  EXPECT_EQ(view.getInt(), -2);
  EXPECT_EQ(view.getLong(), int64_t(0x0123456789ABCDEFLL));
  EXPECT_EQ(view.getString(3), std::string("a\0\xFF", 3));
}

TEST(ByteBuffer, AccessPastTheLimitFailsAndMovesNothing) {
  ByteBuffer b(7);
  b.position(4);
  EXPECT_EQ(failureOf([&] { b.getInt(); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { b.getLong(); }), "checkLimit");
  EXPECT_EQ(b.position(), 4);
  b.position(3).getInt();  // an exact fit succeeds
  EXPECT_EQ(failureOf([&] { b.get(); }), "checkLimit");
  EXPECT_EQ(b.position(), 7);

  // Writes are bounded by the limit, not the capacity.
  ByteBuffer w(100);
  int8_t data[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  w.put(data, 10).flip();
  EXPECT_EQ(w.limit(), 10);
  EXPECT_EQ(failureOf([&] { w.put(data, 11); }), "checkLimit");
  EXPECT_EQ(w.position(), 0);
  EXPECT_EQ(bytesOf(w, 12), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0}));
  w.clear().put(data, 1, 3);
  EXPECT_EQ(bytesOf(w, 4), (std::vector<uint8_t>{2, 3, 4, 4}));
}

TEST(ByteBuffer, NegativeAndOverflowingSizesAreRejected) {
  EXPECT_EQ(failureOf([] { ByteBuffer b(-1); }), "checkLimit");
  EXPECT_EQ(failureOf([] { delete ByteBuffer::allocate(INT32_MIN); }), "checkLimit");

  ByteBuffer b(16);
  int8_t sink[16];
  EXPECT_EQ(failureOf([&] { b.getString(-1); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { b.get(sink, -5); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { b.put(sink, INT32_MIN); }), "checkLimit");
  EXPECT_EQ(b.position(), 0);

  // A position near the top of int32 plus a large size must not wrap below the limit.
  int8_t one = 0;
  ByteBuffer huge(&one, INT32_MAX);
  huge.position(INT32_MAX - 4);
  EXPECT_EQ(failureOf([&] { huge.getString(INT32_MAX); }), "checkLimit");
  EXPECT_EQ(failureOf([&] { huge.getLong(); }), "checkLimit");
  EXPECT_EQ(huge.position(), INT32_MAX - 4);
}

TEST(ByteBuffer, PutFromBufferAndXorBufferConsumeTheSourceOrNothing) {
  int8_t raw[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  ByteBuffer from(raw, sizeof raw);
  from.position(2).limit(7);
  ByteBuffer to(8), small(4);
  EXPECT_EQ(failureOf([&] { small.put(from); }), "checkLimit");
  EXPECT_EQ(from.position() + small.position(), 2);
  to.put(from);
  EXPECT_EQ(from.remaining(), 0);
  EXPECT_EQ(to.position(), 5);
  EXPECT_EQ(bytesOf(to, 8), (std::vector<uint8_t>{2, 3, 4, 5, 6, 0, 0, 0}));

  // Whole 8-byte groups with the key big-endian, the rest with its lowest byte.
  const int64_t key = 0x0102030405060708LL;
  int8_t plain[10] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, -0x80, 0x11, 0x22};
  ByteBuffer source(plain, sizeof plain), out(10), tooSmall(9);
  EXPECT_EQ(failureOf([&] { ByteBuffer::xorBuffer(key, source, tooSmall); }), "checkLimit");
  EXPECT_EQ(source.position(), 0);
  ByteBuffer::xorBuffer(key, source, out);
  EXPECT_EQ(source.position() + out.position(), 20);
  EXPECT_EQ(bytesOf(out, 10), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x19, 0x2A}));
}

TEST(ByteBuffer, DestroyingAViewLeavesTheMemory) {
  int8_t raw[4] = {1, 2, 3, 4};
  ByteBuffer* view = new ByteBuffer(raw, sizeof raw);
  view->putInt(0x7F7F7F7F);
  ByteBuffer::destroy(view);
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(raw[3], 0x7F);
  ByteBuffer* owned = ByteBuffer::allocate(32);  // ASan reports a leak if not freed
  ByteBuffer::destroy(owned);
  ByteBuffer::destroy(owned);  // null: nothing happens
}
