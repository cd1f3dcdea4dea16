#include "p2p/messages/Data.h"

#include <algorithm>

namespace p2p {

Data::Data() : Message(data) {}

Data::Data(int32_t channelId, int32_t sequence, ByteBuffer* dataBuffer)
    : Message(data), dataBuffer(dataBuffer) {
  this->channelId = channelId;
  this->sequence = sequence;
}

void Data::decode(ByteBuffer& b) {
  Message::decode(b);
  dataBuffer = &b;
}

void Data::encode(ByteBuffer& b) {
  Message::encode(b);
  if (!dataBuffer) return;
  const int32_t n = std::min(b.remaining(), dataBuffer->remaining());
  b.put(dataBuffer->array() + dataBuffer->position(), n);
  dataBuffer->position(dataBuffer->position() + n);
}

void Data::dump(std::ostream& out) const {
  dumpHeader(out, "Data");
  out << " remaining:" << (dataBuffer ? dataBuffer->remaining() : 0)
      << " limit:" << (dataBuffer ? dataBuffer->limit() : 0);
}

}  // namespace p2p
