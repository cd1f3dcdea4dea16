#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Hole punching. `port` tells the uses apart: > 0 the server names the other peer (and a
// relay when `proxyIp` is set), 0 a punch from the peer, -1 the peer's acknowledgement.
class ClientHole : public FieldMessage<ClientHole> {
 public:
  static constexpr char name[] = "ClientHole";

  ClientHole() : FieldMessage(clientHole) {}
  ClientHole(const std::string& uuid, const std::string& findUuid, const std::string& ip,
             int32_t port, int32_t protocol, const std::string& proxyIp, int32_t proxyPort)
      : FieldMessage(clientHole),
        uuid(uuid),
        findUuid(findUuid),
        ip(ip),
        port(port),
        protocol(protocol),
        proxyIp(proxyIp),
        proxyPort(proxyPort) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("uuid", m.uuid);
    visit("findUuid", m.findUuid);
    visit("ip", m.ip);
    visit("port", m.port);
    visit("protocol", m.protocol);
    visit("proxyIp", m.proxyIp);
    visit("proxyPort", m.proxyPort);
  }

  std::string uuid;      // the opening side
  std::string findUuid;  // the accepting side
  std::string ip;
  int32_t port = 0;
  int32_t protocol = 0;
  std::string proxyIp;
  int32_t proxyPort = 0;
};

}  // namespace p2p
