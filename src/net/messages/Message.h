#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "p2p/messages/Wire.h"
#include "utils/ByteBuffer.h"

namespace net {

// One frame of the ticket and copy protocol carried in the peer stream:
//   int32 length (the whole frame, these 4 bytes included), int32 opcode, body.
// Integers are big-endian; a string is an int32 byte count and the bytes; a string list
// is an int32 count and the strings.
//
// Decoding is tolerant at the end of the frame (a field that is missing entirely reads as
// 0 or empty, so a peer may leave off trailing fields) and strict everywhere else: a field
// cut in the middle, a count larger than what is left, or an unknown opcode throws a
// std::runtime_error, which costs the connection and never reads past the frame.
//
// The readers and writers are wire::Format's. Each message names its fields once, in wire
// order, in a static `fields(visit, message)` template; a FieldMessage derives encode,
// decode, getLength and the dump from that one list.
class Message : public wire::Format {
 public:
  // Only COPY_REQUEST..COPY_PAUSE, TICKET_REQUEST, TICKET_RESPONSE and RECV have a message;
  // the other numbers are reserved. The wire value of each name must never change.
  enum Opcode : int32_t {
    ttt1 = 0,
    FOLDERS_REQUEST = 1,
    FOLDERS_RESPONSE = 2,
    FILES_REQUEST = 3,
    FILES_RESPONSE = 4,
    COPY_REQUEST = 5,
    COPY_RESPONSE = 6,
    FILE_ACK = 7,
    FILE_CREATE = 8,
    FILE_WRITE = 9,
    COPY_PAUSE = 10,
    ECHO_REQUEST = 11,
    ECHO_RESPONSE = 12,
    DISCOVERY = 13,
    CHAT_LINE = 14,
    RSYNC_REQUEST = 15,
    RSYNC_RESPONSE = 16,
    RSYNC_SYNC = 17,
    RSYNC_CHECKSUMS = 18,
    RSYNS_WRITE = 19,
    ttt7 = 20,
    ttt8 = 21,
    SHOW = 22,
    SHORTCUT = 23,
    SHORTCUT_REQUEST = 24,
    SHORTCUT_RESPONSE = 25,
    COPY_RESUME = 26,
    PLACES_REQUEST = 27,
    PLACES_RESPONSE = 28,
    TICKET_REQUEST = 29,
    TICKET_RESPONSE = 30,
    SEND = 31,
    SEND_RESPONSE = 32,
    RECV = 33,
  };

  // The value of the `status` fields (kept as int32_t there, since a peer may send any number).
  enum Status : int32_t {
    OK = 0,
    CONTINUE = 1,
    END = 2,
    PERMISSION_DENIED_READ = 3,
    PERMISSION_DENIED_WRITE = 4,
    FILE_READ_ERROR = 5,
    FILE_WRITE_ERROR = 6,
    UNEXPECTED_SOCKET_ERROR = 7,
    UNEXPECTED_ERROR = 8,
    SOCKET_CONNECT_ERROR = 9,
    SOCKET_WRITE_ERROR = 10,
    SOCKET_READ_ERROR = 11,
    PAUSED = 12,
    TIMEOUT = 13,
    UNDEFINED = 14,
    PAUSED_APPROVE = 15,
    OK_NO_UPDATE = 16,
    NOT_FOUND = 17,
  };

  explicit Message(Opcode opcode);
  virtual ~Message();

  // Reads the body; the base class has none.
  virtual void decode(ByteBuffer& b);
  // Writes the header (a length placeholder and the opcode); each message then writes its
  // body and ends with putLength. The caller clears the buffer first.
  virtual void encode(ByteBuffer& b) const;
  // Log text: the class name and some fields; the base class writes nothing.
  virtual void dump(std::ostream& out) const;
  // The size of the frame that encode produces.
  virtual int32_t getLength() const;

  Opcode getOpcode() const { return opcode; }

  // A default-constructed message of the opcode's class, owned by the caller; any other
  // opcode throws "net::newMessage opcode %d".
  static Message* newMessage(Opcode opcode);
  // `b` holds one frame without its length field, flipped for reading: reads the opcode,
  // then the message. The caller owns the result; a failure throws and leaves nothing.
  static Message* decodeMessage(ByteBuffer& b);
  // `b` holds one whole frame and is not flipped yet: flips it, checks the length field
  // against the limit ("message length %d != buffer's limit %d"), then decodeMessage.
  static Message* getMessage(ByteBuffer& b);
  // Writes the frame size (the current position) into the first four bytes.
  static void putLength(ByteBuffer& b);

  static int32_t getHeaderLength() { return 8; }
  using Format::getLength;

  Opcode opcode;
};

std::ostream& operator<<(std::ostream& out, const Message& m);

// A message that is its field list (see p2p/messages/Wire.h) and nothing else. `Self` lists
// its fields in `fields` and names itself for the log in `name`.
template <typename Self>
class FieldMessage : public Message {
 public:
  void decode(ByteBuffer& b) override { wire::decodeFields(b, static_cast<Self&>(*this)); }
  void encode(ByteBuffer& b) const override {
    Message::encode(b);
    wire::encodeFields(b, static_cast<const Self&>(*this));
    putLength(b);
  }
  void dump(std::ostream& out) const override {
    out << Self::name;
    wire::dumpFields(out, static_cast<const Self&>(*this));
  }
  int32_t getLength() const override {
    return wire::fieldsLength(static_cast<const Self&>(*this), getHeaderLength());
  }

 protected:
  using Message::Message;
};

}  // namespace net
