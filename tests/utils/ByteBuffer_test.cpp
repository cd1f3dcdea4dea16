#include "utils/ByteBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

// Runs `operation` and checks it failed with exactly "checkLimit".
template <typename F>
void expectCheckLimit(F operation) {
  try {
    operation();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("checkLimit", e.what());
  }
}

std::vector<uint8_t> bytesOf(const ByteBuffer& b, int32_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(b.array());
  return std::vector<uint8_t>(p, p + n);
}

}  // namespace

TEST(ByteBuffer, NewOwnedBufferIsZeroedAndPrintsItsCursors) {
  ByteBuffer b(16);
  EXPECT_EQ(0, b.position());
  EXPECT_EQ(16, b.limit());
  EXPECT_EQ(16, b.capacity());
  EXPECT_EQ(16, b.remaining());
  EXPECT_EQ(std::vector<uint8_t>(16, 0), bytesOf(b, 16));

  std::ostringstream out;
  out << b;
  EXPECT_EQ("ByteBuffer position=0 limit=16 capacity=16\n", out.str());
}

TEST(ByteBuffer, IntegersAreBigEndianTwosComplement) {
  ByteBuffer b(12);
  b.putInt(1).putLong(-1);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), bytesOf(b, 12));

  int8_t raw[] = {-1, -1, -1, -2, 0x01, 0x23, 0x45, 0x67, -0x77, -0x55, -0x33, -0x11};
  ByteBuffer view(raw, sizeof raw);
  EXPECT_EQ(-2, view.getInt());
  EXPECT_EQ(int64_t(0x0123456789ABCDEFLL), view.getLong());

  ByteBuffer round(13);
  round.put(int8_t(7)).putInt(INT32_MIN).putLong(INT64_MIN);
  round.flip().get();
  EXPECT_EQ(INT32_MIN, round.getInt());
  EXPECT_EQ(INT64_MIN, round.getLong());
}

TEST(ByteBuffer, FailedReadLeavesPositionAndExactFitSucceeds) {
  ByteBuffer b(7);
  b.position(4);
  expectCheckLimit([&] { b.getInt(); });
  EXPECT_EQ(4, b.position());
  expectCheckLimit([&] { b.getLong(); });
  EXPECT_EQ(4, b.position());

  b.position(3);
  b.getInt();
  EXPECT_FALSE(b.hasRemaining());
  expectCheckLimit([&] { b.get(); });
  EXPECT_EQ("", b.getString(0));
  EXPECT_EQ(7, b.position());
}

TEST(ByteBuffer, WritesAreBoundedByLimitNotCapacity) {
  ByteBuffer b(100);
  int8_t data[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  b.put(data, 10).flip();
  EXPECT_EQ(0, b.position());
  EXPECT_EQ(10, b.limit());
  expectCheckLimit([&] { b.put(data, 11); });
  EXPECT_EQ(0, b.position());
  const std::vector<uint8_t> all = bytesOf(b, 100);
  EXPECT_EQ(std::vector<uint8_t>(90, 0), std::vector<uint8_t>(all.begin() + 10, all.end()));
  b.clear();
  b.put(data, 11);
  EXPECT_EQ(11, b.position());
}

TEST(ByteBuffer, PutFromBufferConsumesItsRemainder) {
  int8_t raw[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  ByteBuffer from(raw, sizeof raw);
  from.position(2).limit(7);
  ByteBuffer to(8);
  to.put(from);
  EXPECT_EQ(7, from.position());
  EXPECT_EQ(0, from.remaining());
  EXPECT_EQ(5, to.position());
  EXPECT_EQ((std::vector<uint8_t>{2, 3, 4, 5, 6, 0, 0, 0}), bytesOf(to, 8));

  // Too little room in the target: nothing moves on either side.
  ByteBuffer small(4);
  from.position(2);
  expectCheckLimit([&] { small.put(from); });
  EXPECT_EQ(2, from.position());
  EXPECT_EQ(0, small.position());
}

TEST(ByteBuffer, CopiesAndStringsTakeBytesAsTheyAre) {
  int8_t raw[] = {'a', 0, 'b', -1, 'c'};
  ByteBuffer view(raw, sizeof raw);
  EXPECT_EQ(std::string("a\0b\xFF", 4), view.getString(4));

  ByteBuffer b(4);
  b.put(raw, 1, 3);
  int8_t back[3] = {};
  b.flip().get(back, 3);
  EXPECT_EQ(0, back[0]);
  EXPECT_EQ('b', back[1]);
  EXPECT_EQ(-1, back[2]);
}

TEST(ByteBuffer, XorBufferUsesBigEndianWordsThenLowKeyByte) {
  const int64_t key = 0x0102030405060708LL;
  int8_t raw[10] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, -0x80, 0x11, 0x22};
  ByteBuffer from(raw, sizeof raw);
  ByteBuffer to(10);
  ByteBuffer::xorBuffer(key, from, to);
  EXPECT_EQ(10, from.position());
  EXPECT_EQ(10, to.position());
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x19, 0x2A}), bytesOf(to, 10));

  from.position(0);
  ByteBuffer tooSmall(9);
  expectCheckLimit([&] { ByteBuffer::xorBuffer(key, from, tooSmall); });
  EXPECT_EQ(0, from.position());
}

TEST(ByteBuffer, NegativeAndOverflowingSizesAreRejected) {
  expectCheckLimit([] { ByteBuffer b(-1); });
  expectCheckLimit([] { delete ByteBuffer::allocate(INT32_MIN); });

  ByteBuffer b(16);
  int8_t sink[16];
  expectCheckLimit([&] { b.getString(-1); });
  expectCheckLimit([&] { b.get(sink, -5); });
  expectCheckLimit([&] { b.put(sink, INT32_MIN); });
  EXPECT_EQ(0, b.position());

  // A position near the top of int32 plus a large size must not wrap below the limit.
  int8_t one = 0;
  ByteBuffer huge(&one, INT32_MAX);
  huge.position(INT32_MAX - 4);
  expectCheckLimit([&] { huge.getString(INT32_MAX); });
  expectCheckLimit([&] { huge.getLong(); });
  EXPECT_EQ(INT32_MAX - 4, huge.position());
}

TEST(ByteBuffer, DestroyingAViewLeavesTheMemory) {
  int8_t raw[4] = {1, 2, 3, 4};
  ByteBuffer* view = new ByteBuffer(raw, sizeof raw);
  view->putInt(0x7F7F7F7F);
  ByteBuffer::destroy(view);
  EXPECT_EQ(nullptr, view);
  EXPECT_EQ(0x7F, raw[3]);

  ByteBuffer* owned = ByteBuffer::allocate(32);  // ASan reports a leak if not freed
  ByteBuffer::destroy(owned);
  ByteBuffer::destroy(owned);  // null: nothing happens
}
