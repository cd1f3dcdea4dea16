#include "net/messages/TicketRequest.h"

#include "net/messages/Fields.h"

namespace net {

TicketRequest::TicketRequest() : Message(TICKET_REQUEST) {}

void TicketRequest::decode(ByteBuffer& b) { decodeFields(b, *this); }

void TicketRequest::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void TicketRequest::dump(std::ostream& out) const { dumpFields(out, "TicketRequest", *this, {"signature"}); }

int32_t TicketRequest::getLength() const { return frameLength(*this); }

}  // namespace net
