#include "p2p/messages/ClientEcho.h"

namespace p2p {

void ClientEcho::decode(ByteBuffer& b) {
  FieldMessage::decode(b);
  // Ends: every string takes at least its 4-byte count or throws.
  peers.clear();
  while (b.hasRemaining()) peers.push_back(getString(b));
}

void ClientEcho::encode(ByteBuffer& b) {
  FieldMessage::encode(b);
  for (const std::string& peer : peers) putString(b, peer);
}

}  // namespace p2p
