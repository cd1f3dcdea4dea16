#pragma once

#include <cstdint>
#include <ostream>
#include <string>

// Fixed-size codec buffer: position/limit/capacity cursors, big-endian integers,
// and a hard "checkLimit" failure on any access past the limit. It either owns its
// array or is a view over memory the caller keeps alive; it never grows.
class ByteBuffer {
 public:
  // Owning buffer of `size` zeroed bytes. A negative size throws "checkLimit".
  explicit ByteBuffer(int32_t size);
  // View over caller memory; nothing is copied or freed. A negative size throws "checkLimit".
  ByteBuffer(int8_t* bytes, int32_t size);
  virtual ~ByteBuffer();

  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  static ByteBuffer* allocate(int32_t capacity);
  // Deletes the buffer (if any) and clears the caller's pointer so it cannot dangle.
  static void destroy(ByteBuffer*& buffer);

  int8_t* array() const { return _bytes; }
  int32_t capacity() const { return _capacity; }
  int32_t remaining() const { return _limit - _position; }
  bool hasRemaining() const { return remaining() > 0; }
  int32_t position() const { return _position; }
  int32_t limit() const { return _limit; }

  // Unchecked: keeping 0 <= position <= limit <= capacity is the caller's duty.
  ByteBuffer& position(int p);
  ByteBuffer& limit(int l);
  ByteBuffer& clear();
  ByteBuffer& flip();

  int8_t get();
  ByteBuffer& put(int8_t v);
  std::string getString(int32_t size);
  ByteBuffer& get(int8_t* v, int32_t size);
  ByteBuffer& put(const int8_t* v, int32_t size);
  ByteBuffer& put(const int8_t* src, int32_t offset, int32_t length);
  // Copies what remains of `fromBuffer` and consumes it.
  ByteBuffer& put(ByteBuffer& fromBuffer);

  int32_t getInt();
  ByteBuffer& putInt(int32_t v);
  int64_t getLong();
  ByteBuffer& putLong(int64_t v);

  // XORs what remains of `from` into `to`: whole 8-byte groups with `key` (big-endian),
  // the last bytes each with the lowest byte of `key`.
  static void xorBuffer(int64_t key, ByteBuffer& from, ByteBuffer& to);

 protected:
  // Both reject negative sizes and compute in 64 bits: sizes come from the network,
  // and position + size must not wrap around.
  void checkLimit(int32_t size) const;
  void checkCapacity(int32_t size) const;

 private:
  int32_t _position = 0;
  int32_t _limit = 0;
  int32_t _capacity = 0;
  int32_t _mark = -1;
  bool _deleteBytes = false;
  int8_t* _bytes = nullptr;
};

std::ostream& operator<<(std::ostream& out, const ByteBuffer& buffer);
