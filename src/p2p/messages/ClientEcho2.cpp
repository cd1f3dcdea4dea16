#include "p2p/messages/ClientEcho2.h"

#include <stdexcept>

namespace p2p {

void ClientEcho2::decode(ByteBuffer& b) {
  FieldMessage::decode(b);
  // A negative count means no peers; at most 127 strings, each read leniently.
  const int8_t count = getByte(b);
  peers.clear();
  for (int i = 0; i < count; ++i) peers.push_back(getString(b));
}

void ClientEcho2::encode(ByteBuffer& b) {
  if (peers.size() > 127) throw std::runtime_error("ClientEcho2 peers count");
  FieldMessage::encode(b);
  putByte(b, static_cast<int8_t>(peers.size()));
  for (const std::string& peer : peers) putString(b, peer);
}

}  // namespace p2p
