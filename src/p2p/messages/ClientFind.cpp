#include "p2p/messages/ClientFind.h"

namespace p2p {

ClientFind::ClientFind() : Message(clientFind) {}

ClientFind::ClientFind(const std::string& uuid, const std::string& findUuid,
                       const std::string& localIp, int32_t localPort)
    : Message(clientFind), uuid(uuid), findUuid(findUuid), localIp(localIp), localPort(localPort) {}

void ClientFind::decode(ByteBuffer& b) {
  Message::decode(b);
  uuid = getString(b);
  findUuid = getString(b);
  localIp = getString(b);
  localPort = getInt(b);
  username = getString(b);
  key = getString(b);
  seed = getLong(b);
}

void ClientFind::encode(ByteBuffer& b) {
  Message::encode(b);
  putString(b, uuid);
  putString(b, findUuid);
  putString(b, localIp);
  putInt(b, localPort);
  putString(b, username);
  putString(b, key);
  putLong(b, seed);
}

void ClientFind::dump(std::ostream& out) const {
  dumpHeader(out, "ClientFind");
  out << " uuid:" << uuid << " findUuid:" << findUuid << " localIp:" << localIp
      << " localPort:" << localPort << " userName:" << username << " key:<" << key.size() << " bytes>"
      << " seed:" << seed;
}

}  // namespace p2p
