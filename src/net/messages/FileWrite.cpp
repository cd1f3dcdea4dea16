#include "net/messages/FileWrite.h"

#include <stdexcept>

#include "net/messages/Fields.h"

namespace net {

FileWrite::FileWrite() : Message(FILE_WRITE) {}

void FileWrite::decode(ByteBuffer& b) {
  requireStatus(b);
  decodeFields(b, *this);
  if (length < 0 || length > b.remaining()) throw std::runtime_error("FileWrite length");
  data = b.array() + b.position();
  b.position(b.position() + length);
}

void FileWrite::encode(ByteBuffer& b) const {
  Message::encode(b);
  encodeFields(b, *this);
  // The same failure as any write past the limit; nothing of the data is touched.
  if (length < 0 || length > b.remaining()) throw std::runtime_error("checkLimit");
  b.position(b.position() + length);
  putLength(b);
}

void FileWrite::dump(std::ostream& out) const { dumpFields(out, "FileWrite", *this); }

int32_t FileWrite::getLength() const { return frameLength(*this, length); }

}  // namespace net
