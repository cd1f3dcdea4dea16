#include "net/messages/CopyPause.h"

namespace net {

CopyPause::CopyPause() : Message(COPY_PAUSE) {}

void CopyPause::encode(ByteBuffer& b) const {
  Message::encode(b);
  putLength(b);
}

void CopyPause::dump(std::ostream& out) const { out << "CopyPause"; }

}  // namespace net
