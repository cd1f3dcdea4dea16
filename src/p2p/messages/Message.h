#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "p2p/messages/Wire.h"
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
// damaged datagram fails with a std::runtime_error and never reads past its end. The
// readers and writers are wire::Format's; most messages are a FieldMessage, their field
// list and nothing else.
class Message : public wire::Format {
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

  static int32_t getHeaderLength() { return 9; }

  Opcode opcode;
  int32_t channelId = 0;
  int32_t sequence = 0;

 protected:
  // "<name> channelId:<c> sequence:<s>", the start of every dump.
  void dumpHeader(std::ostream& out, const char* name) const;
};

std::ostream& operator<<(std::ostream& out, const Message& m);

// A message that is its header and its field list (see Wire.h) and nothing else. `Self`
// lists its fields in `fields` and names itself for the log in `name`.
template <typename Self>
class FieldMessage : public Message {
 public:
  void decode(ByteBuffer& b) override {
    Message::decode(b);
    wire::decodeFields(b, static_cast<Self&>(*this));
  }
  void encode(ByteBuffer& b) override {
    Message::encode(b);
    wire::encodeFields(b, static_cast<const Self&>(*this));
  }
  void dump(std::ostream& out) const override {
    dumpHeader(out, Self::name);
    wire::dumpFields(out, static_cast<const Self&>(*this));
  }

 protected:
  using Message::Message;
};

// XORs each remaining byte of `from` with `key` into `to`; both advance by the count.
// `to` may be a view over the same bytes, which un-XORs a `Codec` datagram in place.
// A `to` with less room than `from` holds throws "checkLimit" before anything moves.
void xorBuffer(int8_t key, ByteBuffer& from, ByteBuffer& to);

}  // namespace p2p
