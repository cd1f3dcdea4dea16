#pragma once

// The walkers over a message's field list. A message lists its fields once, in wire order:
//
//   template <typename Visit, typename Self>
//   static void fields(Visit& visit, Self& m) {
//     visit("status", m.status);
//     visit("reason", m.reason);
//   }
//
// (Self is the message itself, const when encoding, measuring or dumping), and its encode,
// decode, getLength and dump call the helpers below with it. Each field must be exactly one
// of int32_t, int64_t, std::string or std::vector<std::string>, the four wire types;
// anything else does not compile.
//
// Only the message sources include this file.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "net/messages/Message.h"

namespace net {

class FieldEncoder {
 public:
  explicit FieldEncoder(ByteBuffer& b) : b(b) {}
  void operator()(const char*, const int32_t& v) { Message::putInt(b, v); }
  void operator()(const char*, const int64_t& v) { Message::putLong(b, v); }
  void operator()(const char*, const std::string& v) { Message::putString(b, v); }
  void operator()(const char*, const std::vector<std::string>& v) { Message::putStrings(b, v); }

 private:
  ByteBuffer& b;
};

class FieldDecoder {
 public:
  explicit FieldDecoder(ByteBuffer& b) : b(b) {}
  void operator()(const char*, int32_t& v) { v = Message::getInt(b); }
  void operator()(const char*, int64_t& v) { v = Message::getLong(b); }
  void operator()(const char*, std::string& v) { v = Message::getString(b); }
  void operator()(const char*, std::vector<std::string>& v) { v = Message::getStrings(b); }

 private:
  ByteBuffer& b;
};

// Sums in 64 bits and saturates the total rather than wrap (frames are far below 2 GiB).
class FieldLength {
 public:
  explicit FieldLength(int64_t start) : total(start) {}
  template <typename T>
  void operator()(const char*, const T& v) { total += Message::getLength(v); }
  int32_t length() const {
    return static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
  }

 private:
  int64_t total;
};

// " name:value" per field; a list shows only its size, as " name.size:n", and a secret (a
// signature, a key: logs are read by more people than the wire) only its length, as
// " name:<n bytes>".
class FieldDump {
 public:
  explicit FieldDump(std::ostream& out, std::vector<std::string> secrets = {})
      : out(out), secrets(std::move(secrets)) {}
  template <typename T>
  void operator()(const char* name, const T& v) { out << ' ' << name << ':' << v; }
  void operator()(const char* name, const std::string& v) {
    out << ' ' << name << ':';
    if (std::find(secrets.begin(), secrets.end(), name) != secrets.end()) {
      out << '<' << v.size() << " bytes>";
    } else {
      out << v;
    }
  }
  void operator()(const char* name, const std::vector<std::string>& v) {
    out << ' ' << name << ".size:" << v.size();
  }

 private:
  std::ostream& out;
  std::vector<std::string> secrets;
};

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

// The whole frame of a message that is nothing but its fields.
template <typename M>
void encodeFrame(ByteBuffer& b, const M& m) {
  m.Message::encode(b);
  encodeFields(b, m);
  Message::putLength(b);
}

// The header, the fields and `extra` bytes that follow them.
template <typename M>
int32_t frameLength(const M& m, int64_t extra = 0) {
  FieldLength length(Message::getHeaderLength() + extra);
  M::fields(length, m);
  return length.length();
}

template <typename M>
void dumpFields(std::ostream& out, const char* name, const M& m, std::vector<std::string> secrets = {}) {
  out << name;
  FieldDump dump(out, std::move(secrets));
  M::fields(dump, m);
}

}  // namespace net
