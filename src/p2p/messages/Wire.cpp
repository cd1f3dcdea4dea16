#include "p2p/messages/Wire.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace wire {

namespace {

int32_t saturated(int64_t n) {
  return static_cast<int32_t>(std::min<int64_t>(n, std::numeric_limits<int32_t>::max()));
}

}  // namespace

std::string Format::getString(ByteBuffer& b) {
  if (!b.hasRemaining()) return std::string();
  const int32_t size = b.getInt();
  // A negative count is as damaged as an over-long one.
  if (size < 0 || size > b.remaining()) throw std::runtime_error("getString size");
  return b.getString(size);
}

std::vector<std::string> Format::getStrings(ByteBuffer& b) {
  std::vector<std::string> strings;
  if (!b.hasRemaining()) return strings;
  const int32_t count = b.getInt();
  // Every string takes at least its 4-byte count, which bounds the list by the buffer.
  if (count < 0 || count > b.remaining() / 4) throw std::runtime_error("getStrings count");
  strings.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) strings.push_back(getString(b));
  return strings;
}

void Format::putString(ByteBuffer& b, const std::string& s) {
  if (b.remaining() < 4 || s.size() > static_cast<size_t>(b.remaining() - 4))
    throw std::runtime_error("checkLimit");
  b.putInt(static_cast<int32_t>(s.size()));
  b.put(reinterpret_cast<const int8_t*>(s.data()), static_cast<int32_t>(s.size()));
}

void Format::putStrings(ByteBuffer& b, const std::vector<std::string>& strings) {
  if (strings.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw std::runtime_error("checkLimit");
  b.putInt(static_cast<int32_t>(strings.size()));
  for (const std::string& s : strings) putString(b, s);
}

int32_t Format::getLength(const std::string& s) { return saturated(4 + static_cast<int64_t>(s.size())); }

int32_t Format::getLength(const std::vector<std::string>& strings) {
  int64_t total = 4;
  for (const std::string& s : strings) total += 4 + static_cast<int64_t>(s.size());
  return saturated(total);
}

}  // namespace wire
