#include "p2p/messages/ClientHole.h"

namespace p2p {

ClientHole::ClientHole() : Message(clientHole) {}

ClientHole::ClientHole(const std::string& uuid, const std::string& findUuid, const std::string& ip,
                       int32_t port, int32_t protocol, const std::string& proxyIp, int32_t proxyPort)
    : Message(clientHole),
      uuid(uuid),
      findUuid(findUuid),
      ip(ip),
      port(port),
      protocol(protocol),
      proxyIp(proxyIp),
      proxyPort(proxyPort) {}

void ClientHole::decode(ByteBuffer& b) {
  Message::decode(b);
  uuid = getString(b);
  findUuid = getString(b);
  ip = getString(b);
  port = getInt(b);
  protocol = getInt(b);
  proxyIp = getString(b);
  proxyPort = getInt(b);
}

void ClientHole::encode(ByteBuffer& b) {
  Message::encode(b);
  putString(b, uuid);
  putString(b, findUuid);
  putString(b, ip);
  putInt(b, port);
  putInt(b, protocol);
  putString(b, proxyIp);
  putInt(b, proxyPort);
}

void ClientHole::dump(std::ostream& out) const {
  dumpHeader(out, "ClientHole");
  out << " uuid:" << uuid << " findUuid:" << findUuid << " ip:" << ip << " port:" << port
      << " protocol:" << protocol << " proxyIp:" << proxyIp << " proxyPort:" << proxyPort;
}

}  // namespace p2p
