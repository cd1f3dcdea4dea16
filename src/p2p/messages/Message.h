#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "utils/ByteBuffer.h"

namespace p2p {

// One UDP message: a 9-byte header (opcode byte, channelId, sequence, big-endian)
// followed by the body of its type. A datagram holds one message, possibly after a
// `Proxy` prefix (which names the peer the datagram is relayed to or from) and a
// `Codec` prefix (whose key XORs the rest). The router unwraps both and owns every
// message it decodes.
//
// Decoding is lenient at field boundaries (a field starting past the end of the datagram
// reads as its default) and strict inside a field ("checkLimit", "getString size"), so a
// damaged datagram fails with a std::runtime_error and never reads past its end.
class Message {
 public:
  // 32 bits in memory, one signed byte on the wire; any int32 value is representable,
  // so a bad opcode byte reaches newMessage and fails there.
  enum Opcode : int32_t {
    connect = 0,
    connectAck = 1,
    data = 2,
    close = 3,
    clientEcho = 4,
    clientFind = 5,
    clientHole = 6,
    serverEcho = 7,
    dataAck2 = 8,
    proxy = 9,
    codec = 10,
    clientEcho2 = 11,
  };

  explicit Message(Opcode opcode);
  virtual ~Message();

  // Reads channelId and sequence (the opcode byte is already consumed) and then the body.
  virtual void decode(ByteBuffer& b);
  // Writes the header and then the body; a buffer too small throws "checkLimit".
  virtual void encode(ByteBuffer& b);
  virtual void dump(std::ostream& out) const = 0;

  Opcode getOpcode() const { return opcode; }
  int32_t getChannelId() const { return channelId; }
  int32_t getSequence() const { return sequence; }

  // A default-constructed message of the opcode's class, owned by the caller;
  // anything else throws "p2p::newMessage opcode %d".
  static Message* newMessage(Opcode opcode);
  // Reads the opcode at b's position, then the message; b ends after it. A failure
  // throws and leaves no message behind.
  static Message* decodeMessage(ByteBuffer& b);
  // Flips a filled receive buffer, then decodes its first message.
  static Message* getMessage(ByteBuffer& b);

  // Lenient readers: the default when no byte remains, else the strict read.
  static int8_t getByte(ByteBuffer& b);
  static int32_t getInt(ByteBuffer& b);
  static int64_t getLong(ByteBuffer& b);
  // The count is checked against the bytes left before anything is allocated.
  static std::string getString(ByteBuffer& b);

  static void putByte(ByteBuffer& b, int8_t v);
  static void putInt(ByteBuffer& b, int32_t v);
  static void putLong(ByteBuffer& b, int64_t v);
  static void putString(ByteBuffer& b, const std::string& s);

  static int32_t getHeaderLength() { return 9; }
  static int32_t getLength(int32_t) { return 4; }
  static int32_t getLength(int64_t) { return 8; }
  static int32_t getLength(const std::string& s);

  Opcode opcode;
  int32_t channelId = 0;
  int32_t sequence = 0;

 protected:
  // "<name> channelId:<c> sequence:<s>", the start of every dump.
  void dumpHeader(std::ostream& out, const char* name) const;
};

std::ostream& operator<<(std::ostream& out, const Message& m);

// XORs each remaining byte of `from` with `key` into `to`; both advance by the count.
// `to` may be a view over the same bytes, which un-XORs a `Codec` datagram in place.
// A `to` with less room than `from` holds throws "checkLimit" before anything moves.
void xorBuffer(int8_t key, ByteBuffer& from, ByteBuffer& to);

}  // namespace p2p
