#include "utils/ByteBuffer.h"

#include <cstring>
#include <stdexcept>

namespace {

int32_t checkedSize(int32_t size) {
  if (size < 0) throw std::runtime_error("checkLimit");
  return size;
}

}  // namespace

ByteBuffer::ByteBuffer(int32_t size)
    : _limit(checkedSize(size)), _capacity(size), _deleteBytes(true), _bytes(new int8_t[size]()) {}

ByteBuffer::ByteBuffer(int8_t* bytes, int32_t size)
    : _limit(checkedSize(size)), _capacity(size), _deleteBytes(false), _bytes(bytes) {}

ByteBuffer::~ByteBuffer() {
  if (_deleteBytes && _bytes) {
    delete[] _bytes;
    _bytes = nullptr;
  }
}

ByteBuffer* ByteBuffer::allocate(int32_t capacity) { return new ByteBuffer(capacity); }

void ByteBuffer::destroy(ByteBuffer*& buffer) {
  if (buffer) {
    delete buffer;
    buffer = nullptr;
  }
}

ByteBuffer& ByteBuffer::position(int p) {
  _position = p;
  return *this;
}

ByteBuffer& ByteBuffer::limit(int l) {
  _limit = l;
  return *this;
}

ByteBuffer& ByteBuffer::clear() {
  _limit = _capacity;
  _position = 0;
  _mark = -1;
  return *this;
}

ByteBuffer& ByteBuffer::flip() {
  _limit = _position;
  _position = 0;
  _mark = -1;
  return *this;
}

void ByteBuffer::checkLimit(int32_t size) const {
  if (size < 0 || int64_t{_position} + size > _limit) throw std::runtime_error("checkLimit");
}

void ByteBuffer::checkCapacity(int32_t size) const {
  if (size < 0 || int64_t{_position} + size > _capacity) throw std::runtime_error("checkCapacity");
}

int8_t ByteBuffer::get() {
  checkLimit(1);
  return _bytes[_position++];
}

ByteBuffer& ByteBuffer::put(int8_t v) {
  checkLimit(1);
  _bytes[_position++] = v;
  return *this;
}

std::string ByteBuffer::getString(int32_t size) {
  checkLimit(size);
  std::string s(reinterpret_cast<const char*>(_bytes) + _position, static_cast<size_t>(size));
  _position += size;
  return s;
}

ByteBuffer& ByteBuffer::get(int8_t* v, int32_t size) {
  checkLimit(size);
  if (size > 0) std::memcpy(v, _bytes + _position, static_cast<size_t>(size));
  _position += size;
  return *this;
}

ByteBuffer& ByteBuffer::put(const int8_t* v, int32_t size) {
  checkLimit(size);
  // memmove: a buffer may be put into itself.
  if (size > 0) std::memmove(_bytes + _position, v, static_cast<size_t>(size));
  _position += size;
  return *this;
}

ByteBuffer& ByteBuffer::put(const int8_t* src, int32_t offset, int32_t length) {
  return put(src + offset, length);
}

ByteBuffer& ByteBuffer::put(ByteBuffer& fromBuffer) {
  put(fromBuffer.array() + fromBuffer.position(), fromBuffer.remaining());
  fromBuffer.position(fromBuffer.limit());
  return *this;
}

int32_t ByteBuffer::getInt() {
  checkLimit(4);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(_bytes[_position + i]);
  _position += 4;
  return static_cast<int32_t>(v);
}

ByteBuffer& ByteBuffer::putInt(int32_t v) {
  checkLimit(4);
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 3; i >= 0; --i, u >>= 8) _bytes[_position + i] = static_cast<int8_t>(u & 0xFF);
  _position += 4;
  return *this;
}

int64_t ByteBuffer::getLong() {
  checkLimit(8);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<uint8_t>(_bytes[_position + i]);
  _position += 8;
  return static_cast<int64_t>(v);
}

ByteBuffer& ByteBuffer::putLong(int64_t v) {
  checkLimit(8);
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 7; i >= 0; --i, u >>= 8) _bytes[_position + i] = static_cast<int8_t>(u & 0xFF);
  _position += 8;
  return *this;
}

void ByteBuffer::xorBuffer(int64_t key, ByteBuffer& from, ByteBuffer& to) {
  // Checked up front so a short target fails before either buffer moves.
  to.checkLimit(from.remaining());
  const int8_t lowKey = static_cast<int8_t>(key & 0xFF);
  while (from.hasRemaining()) {
    if (from.remaining() > 7)
      to.putLong(from.getLong() ^ key);
    else
      to.put(static_cast<int8_t>(from.get() ^ lowKey));
  }
}

std::ostream& operator<<(std::ostream& out, const ByteBuffer& buffer) {
  return out << "ByteBuffer" << " position=" << buffer.position() << " limit=" << buffer.limit()
             << " capacity=" << buffer.capacity() << "\n";
}
