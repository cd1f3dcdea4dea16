#include "p2p/messages/ConnectAck.h"

namespace p2p {

ConnectAck::ConnectAck() : Message(connectAck) {}

ConnectAck::ConnectAck(int32_t channelId, int32_t sendPoolSize, int32_t protocol,
                       const std::string& pk)
    : Message(connectAck), sendPoolSize(sendPoolSize), protocol(protocol), pk(pk) {
  this->channelId = channelId;
}

void ConnectAck::decode(ByteBuffer& b) {
  Message::decode(b);
  sendPoolSize = getInt(b);
  protocol = getInt(b);
  pk = getString(b);
}

void ConnectAck::encode(ByteBuffer& b) {
  Message::encode(b);
  putInt(b, sendPoolSize);
  putInt(b, protocol);
  putString(b, pk);
}

void ConnectAck::dump(std::ostream& out) const {
  dumpHeader(out, "ConnectAck");
  out << " sendPoolSize:" << sendPoolSize << " protocol:" << protocol << " pk:" << pk;
}

}  // namespace p2p
