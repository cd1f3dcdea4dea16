#include "p2p/messages/Connect.h"

namespace p2p {

Connect::Connect() : Message(connect) {}

Connect::Connect(int32_t channelId, int32_t sendPoolSize, int32_t protocol, const std::string& p,
                 const std::string& g, const std::string& pk)
    : Message(connect), sendPoolSize(sendPoolSize), protocol(protocol), p(p), g(g), pk(pk) {
  this->channelId = channelId;
}

void Connect::decode(ByteBuffer& b) {
  Message::decode(b);
  sendPoolSize = getInt(b);
  protocol = getInt(b);
  p = getString(b);
  g = getString(b);
  pk = getString(b);
}

void Connect::encode(ByteBuffer& b) {
  Message::encode(b);
  putInt(b, sendPoolSize);
  putInt(b, protocol);
  putString(b, p);
  putString(b, g);
  putString(b, pk);
}

void Connect::dump(std::ostream& out) const {
  dumpHeader(out, "Connect");
  out << " sendPoolSize:" << sendPoolSize << " protocol:" << protocol << " p:" << p << " g:" << g
      << " pk:" << pk;
}

}  // namespace p2p
