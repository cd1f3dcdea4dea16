#include "p2p/messages/Close.h"

namespace p2p {

Close::Close() : Message(close) {}

Close::Close(int32_t channelId) : Message(close) { this->channelId = channelId; }

void Close::decode(ByteBuffer& b) {
  Message::decode(b);
  reason = getString(b);
}

void Close::encode(ByteBuffer& b) {
  Message::encode(b);
  putString(b, reason);
}

void Close::dump(std::ostream& out) const {
  dumpHeader(out, "Close");
  out << " reason:" << reason;
}

}  // namespace p2p
