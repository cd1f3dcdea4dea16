#include "net/messages/CopyResponse.h"

#include "net/messages/Fields.h"

namespace net {

CopyResponse::CopyResponse() : Message(COPY_RESPONSE) {}

void CopyResponse::decode(ByteBuffer& b) {
  requireStatus(b);
  decodeFields(b, *this);
}

void CopyResponse::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void CopyResponse::dump(std::ostream& out) const { dumpFields(out, "CopyResponse", *this); }

int32_t CopyResponse::getLength() const { return frameLength(*this); }

}  // namespace net
