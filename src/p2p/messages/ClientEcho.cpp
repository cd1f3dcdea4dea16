#include "p2p/messages/ClientEcho.h"

namespace p2p {

ClientEcho::ClientEcho() : Message(clientEcho) {}

ClientEcho::ClientEcho(Opcode opcode) : Message(opcode) {}

void ClientEcho::decodeFields(ByteBuffer& b) {
  Message::decode(b);
  uuid = getString(b);
  userName = getString(b);
  internalIp = getString(b);
  udpPort = getInt(b);
  tcpPort = getInt(b);
  computer = getString(b);
  key = getString(b);
}

void ClientEcho::encodeFields(ByteBuffer& b) {
  Message::encode(b);
  putString(b, uuid);
  putString(b, userName);
  putString(b, internalIp);
  putInt(b, udpPort);
  putInt(b, tcpPort);
  putString(b, computer);
  putString(b, key);
}

void ClientEcho::decode(ByteBuffer& b) {
  decodeFields(b);
  // Ends: every string takes at least its 4-byte count or throws.
  peers.clear();
  while (b.hasRemaining()) peers.push_back(getString(b));
}

void ClientEcho::encode(ByteBuffer& b) {
  encodeFields(b);
  for (const std::string& peer : peers) putString(b, peer);
}

void ClientEcho::dump(std::ostream& out) const {
  dumpHeader(out, "ClientEcho");
  out << " uuid:" << uuid << " userName:" << userName << " internalIp:" << internalIp
      << " udpPort:" << udpPort << " tcpPort:" << tcpPort << " computer:" << computer
      << " key:<" << key.size() << " bytes>";  // made from the user key
}

}  // namespace p2p
