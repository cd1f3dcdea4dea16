#include "p2p/messages/Codec.h"

namespace p2p {

Codec::Codec() : Message(codec) {}

void Codec::decode(ByteBuffer& b) {
  Message::decode(b);
  key = getByte(b);
}

void Codec::encode(ByteBuffer& b) {
  Message::encode(b);
  putByte(b, key);
}

void Codec::dump(std::ostream& out) const {
  dumpHeader(out, "Codec");
  out << " key:" << static_cast<int>(key);
}

}  // namespace p2p
