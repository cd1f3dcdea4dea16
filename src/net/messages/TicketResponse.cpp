#include "net/messages/TicketResponse.h"

#include "net/messages/Fields.h"

namespace net {

TicketResponse::TicketResponse() : Message(TICKET_RESPONSE) {}

void TicketResponse::decode(ByteBuffer& b) {
  requireStatus(b);
  decodeFields(b, *this);
}

void TicketResponse::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void TicketResponse::dump(std::ostream& out) const { dumpFields(out, "TicketResponse", *this); }

int32_t TicketResponse::getLength() const { return frameLength(*this); }

}  // namespace net
