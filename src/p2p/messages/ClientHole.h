#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Hole punching. `port` tells the uses apart: > 0 the server names the other peer (and a
// relay when `proxyIp` is set), 0 a punch from the peer, -1 the peer's acknowledgement.
class ClientHole : public Message {
 public:
  ClientHole();
  ClientHole(const std::string& uuid, const std::string& findUuid, const std::string& ip,
             int32_t port, int32_t protocol, const std::string& proxyIp, int32_t proxyPort);

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  std::string uuid;      // the opening side
  std::string findUuid;  // the accepting side
  std::string ip;
  int32_t port = 0;
  int32_t protocol = 0;
  std::string proxyIp;
  int32_t proxyPort = 0;
};

}  // namespace p2p
