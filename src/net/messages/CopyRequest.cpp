#include "net/messages/CopyRequest.h"

#include "net/messages/Fields.h"

namespace net {

CopyRequest::CopyRequest() : Message(COPY_REQUEST) {}

void CopyRequest::decode(ByteBuffer& b) { decodeFields(b, *this); }

void CopyRequest::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void CopyRequest::dump(std::ostream& out) const { out << "CopyRequest ticket:" << ticket; }

int32_t CopyRequest::getLength() const { return frameLength(*this); }

}  // namespace net
