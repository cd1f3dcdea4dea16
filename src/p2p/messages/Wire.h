#pragma once

// The wire encodings that the UDP messages (p2p::Message) and the peer messages
// (net::Message) share, and the walkers over a message's field list.
//
// Integers are big-endian; a string is an int32 byte count and the bytes; a string list is an
// int32 count and the strings. Reading is lenient at a field boundary (a field that starts
// at the end of the buffer reads as 0 or empty, so a sender may leave off trailing fields)
// and strict inside a field ("checkLimit" from ByteBuffer, "getString size",
// "getStrings count"); counts are checked against the bytes left before anything is
// allocated. Writing past the limit throws "checkLimit".
//
// A message lists its fields once, in wire order:
//
//   template <typename Visit, typename M>
//   static void fields(Visit& visit, M& m) {
//     visit(wire::required("status"), m.status);
//     visit("reason", m.reason);
//     visit(wire::secret("key"), m.key);
//   }
//
// (M is the message, const when encoding, measuring or dumping.) Each field is one of
// int8_t, int32_t, int64_t, std::string or std::vector<std::string>; anything else does not
// compile. The name is what the log shows.

#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/ByteBuffer.h"

namespace wire {

// The readers, writers and sizes of the encodings, as static members that each layer's
// Message inherits.
class Format {
 public:
  static int8_t getByte(ByteBuffer& b) { return b.hasRemaining() ? b.get() : 0; }
  static int32_t getInt(ByteBuffer& b) { return b.hasRemaining() ? b.getInt() : 0; }
  static int64_t getLong(ByteBuffer& b) { return b.hasRemaining() ? b.getLong() : 0; }
  static std::string getString(ByteBuffer& b);
  static std::vector<std::string> getStrings(ByteBuffer& b);

  static void putByte(ByteBuffer& b, int8_t v) { b.put(v); }
  static void putInt(ByteBuffer& b, int32_t v) { b.putInt(v); }
  static void putLong(ByteBuffer& b, int64_t v) { b.putLong(v); }
  // Checked whole, so a string that does not fit leaves no count without its bytes.
  static void putString(ByteBuffer& b, const std::string& s);
  static void putStrings(ByteBuffer& b, const std::vector<std::string>& strings);

  // Sizes on the wire. Messages are far below 2 GiB; a sum saturates rather than wraps.
  static int32_t getLength(int8_t) { return 1; }
  static int32_t getLength(int32_t) { return 4; }
  static int32_t getLength(int64_t) { return 8; }
  static int32_t getLength(const std::string& s);
  static int32_t getLength(const std::vector<std::string>& strings);
};

// A field's name in the list, with what the codec must know about it beyond its type.
struct FieldName {
  // Not explicit: a field list names a plain field by its text alone.
  constexpr FieldName(const char* text) : text(text) {}
  const char* text;
  bool secret = false;
  bool required = false;
};

// Logs show the field's length only ("<n bytes>"): logs are read by more people than the
// wire, and a key or a signature vouches for a user.
constexpr FieldName secret(const char* name) {
  FieldName field(name);
  field.secret = true;
  return field;
}

// Not lenient: a buffer that ends before the field throws "missing <name>", for a reply
// whose missing status would otherwise read as OK.
constexpr FieldName required(const char* name) {
  FieldName field(name);
  field.required = true;
  return field;
}

class FieldEncoder {
 public:
  explicit FieldEncoder(ByteBuffer& b) : b(b) {}
  // Any other type (a bool, a short, an enum) would be converted silently: refused instead.
  template <typename T>
  void operator()(FieldName, const T&) = delete;
  void operator()(FieldName, int8_t v) { Format::putByte(b, v); }
  void operator()(FieldName, int32_t v) { Format::putInt(b, v); }
  void operator()(FieldName, int64_t v) { Format::putLong(b, v); }
  void operator()(FieldName, const std::string& v) { Format::putString(b, v); }
  void operator()(FieldName, const std::vector<std::string>& v) { Format::putStrings(b, v); }

 private:
  ByteBuffer& b;
};

class FieldDecoder {
 public:
  explicit FieldDecoder(ByteBuffer& b) : b(b) {}
  void operator()(FieldName name, int8_t& v) { require(name, 1); v = Format::getByte(b); }
  void operator()(FieldName name, int32_t& v) { require(name, 4); v = Format::getInt(b); }
  void operator()(FieldName name, int64_t& v) { require(name, 8); v = Format::getLong(b); }
  void operator()(FieldName name, std::string& v) { require(name, 4); v = Format::getString(b); }
  void operator()(FieldName name, std::vector<std::string>& v) {
    require(name, 4);
    v = Format::getStrings(b);
  }

 private:
  void require(FieldName name, int32_t size) const {
    if (name.required && b.remaining() < size)
      throw std::runtime_error(std::string("missing ") + name.text);
  }

  ByteBuffer& b;
};

class FieldLength {
 public:
  explicit FieldLength(int64_t start) : total(start) {}
  template <typename T>
  void operator()(FieldName, const T& v) { total += Format::getLength(v); }
  int32_t length() const { return total < INT32_MAX ? static_cast<int32_t>(total) : INT32_MAX; }

 private:
  int64_t total;
};

// " name:value" per field; a list shows its size only, as " name.size:n", and a secret its
// length only, as " name:<n bytes>".
class FieldDump {
 public:
  explicit FieldDump(std::ostream& out) : out(out) {}
  void operator()(FieldName name, int8_t v) { label(name) << static_cast<int>(v); }
  void operator()(FieldName name, int32_t v) { label(name) << v; }
  void operator()(FieldName name, int64_t v) { label(name) << v; }
  void operator()(FieldName name, const std::string& v) {
    if (name.secret) {
      label(name) << '<' << v.size() << " bytes>";
    } else {
      label(name) << v;
    }
  }
  void operator()(FieldName name, const std::vector<std::string>& v) {
    out << ' ' << name.text << ".size:" << v.size();
  }

 private:
  std::ostream& label(FieldName name) { return out << ' ' << name.text << ':'; }

  std::ostream& out;
};

// The message of `opcode`, made by M::newMessage, with the rest of `b` decoded into it; the
// caller owns it. A failure throws and leaves nothing behind.
template <typename M>
M* decodeMessage(typename M::Opcode opcode, ByteBuffer& b) {
  std::unique_ptr<M> m(M::newMessage(opcode));
  m->decode(b);
  return m.release();
}

template <typename M>
void encodeFields(ByteBuffer& b, const M& m) {
  FieldEncoder encoder(b);
  M::fields(encoder, m);
}

template <typename M>
void decodeFields(ByteBuffer& b, M& m) {
  FieldDecoder decoder(b);
  M::fields(decoder, m);
}

// `start` bytes (a header, data after the fields), then the fields.
template <typename M>
int32_t fieldsLength(const M& m, int64_t start) {
  FieldLength length(start);
  M::fields(length, m);
  return length.length();
}

template <typename M>
void dumpFields(std::ostream& out, const M& m) {
  FieldDump dump(out);
  M::fields(dump, m);
}

}  // namespace wire
