#include "net/messages/FileWrite.h"

#include <stdexcept>

namespace net {

void FileWrite::decode(ByteBuffer& b) {
  FieldMessage::decode(b);
  if (length < 0 || length > b.remaining()) throw std::runtime_error("FileWrite length");
  data = b.array() + b.position();
  b.position(b.position() + length);
}

void FileWrite::encode(ByteBuffer& b) const {
  Message::encode(b);
  wire::encodeFields(b, *this);
  // The same failure as any write past the limit; nothing of the data is touched.
  if (length < 0 || length > b.remaining()) throw std::runtime_error("checkLimit");
  b.position(b.position() + length);
  putLength(b);
}

int32_t FileWrite::getLength() const {
  return wire::fieldsLength(*this, static_cast<int64_t>(getHeaderLength()) + length);
}

}  // namespace net
