#include "p2p/messages/ServerEcho.h"

namespace p2p {

ServerEcho::ServerEcho() : Message(serverEcho) {}

void ServerEcho::decode(ByteBuffer& b) {
  Message::decode(b);
  code = getInt(b);
  remoteIp = getString(b);
  challenge = getLong(b);
  serverKey = getLong(b);
  connectedPeers = getInt(b);
}

void ServerEcho::encode(ByteBuffer& b) {
  Message::encode(b);
  putInt(b, code);
  putString(b, remoteIp);
  putLong(b, challenge);
  putLong(b, serverKey);
  putInt(b, connectedPeers);
}

void ServerEcho::dump(std::ostream& out) const {
  dumpHeader(out, "ServerEcho");
  out << " code:" << code << " remoteIp:" << remoteIp << " challenge:" << challenge
      << " serverKey:" << serverKey << " connectedPeers:" << connectedPeers;
}

}  // namespace p2p
