#include "net/messages/Message.h"

#include <stdexcept>

#include "net/messages/CopyPause.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketRecv.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "utils/Utils.h"

namespace net {

Message::Message(Opcode opcode) : opcode(opcode) {}

Message::~Message() = default;

void Message::decode(ByteBuffer&) {}

void Message::encode(ByteBuffer& b) const {
  putInt(b, 0);  // the length, written by putLength once the frame is complete
  putInt(b, opcode);
}

void Message::dump(std::ostream&) const {}

int32_t Message::getLength() const { return getHeaderLength(); }

Message* Message::newMessage(Opcode opcode) {
  switch (opcode) {
    case COPY_REQUEST: return new CopyRequest();
    case COPY_RESPONSE: return new CopyResponse();
    case FILE_ACK: return new FileAck();
    case FILE_CREATE: return new FileCreate();
    case FILE_WRITE: return new FileWrite();
    case COPY_PAUSE: return new CopyPause();
    case TICKET_REQUEST: return new TicketRequest();
    case TICKET_RESPONSE: return new TicketResponse();
    case RECV: return new TicketRecv();
    default: break;
  }
  throw std::runtime_error(Utils::format("net::newMessage opcode %d", static_cast<int>(opcode)));
}

Message* Message::decodeMessage(ByteBuffer& b) {
  return wire::decodeMessage<Message>(static_cast<Opcode>(b.getInt()), b);
}

Message* Message::getMessage(ByteBuffer& b) {
  b.flip();
  const int32_t length = b.getInt();
  if (length != b.limit())
    throw std::runtime_error(Utils::format("message length %d != buffer's limit %d", length, b.limit()));
  return decodeMessage(b);
}

void Message::putLength(ByteBuffer& b) {
  const int32_t end = b.position();
  b.position(0);
  b.putInt(end);
  b.position(end);
}

std::ostream& operator<<(std::ostream& out, const Message& m) {
  m.dump(out);
  return out;
}

}  // namespace net
