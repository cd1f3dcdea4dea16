#include "net/messages/TicketRecv.h"

#include "net/messages/Fields.h"

namespace net {

TicketRecv::TicketRecv() : Message(RECV) {}

void TicketRecv::decode(ByteBuffer& b) { decodeFields(b, *this); }

void TicketRecv::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void TicketRecv::dump(std::ostream& out) const { dumpFields(out, "TicketRecv", *this); }

int32_t TicketRecv::getLength() const { return frameLength(*this); }

}  // namespace net
