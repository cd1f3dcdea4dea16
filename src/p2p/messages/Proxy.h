#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "p2p/messages/Message.h"

namespace p2p {

// The prefix of a relayed datagram, 30 bytes: it names the peer on the far side of the
// relay (the destination when sending, the originating peer when received). IPv4 only.
class Proxy : public Message {
 public:
  Proxy();

  // Takes an IPv4 socket address; any other family throws "IPV6 address not supported".
  void setAddress(const sockaddr* address);

  // Header leniently, body strictly: a short prefix throws "checkLimit", and a version
  // other than 4 throws "IPV6 address not supported".
  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  int8_t ipVersion = 4;
  int8_t ip[16] = {};  // IPv4: network order in the first 4 bytes, the rest zero
  int32_t port = 0;    // host order
  sockaddr addr = {};  // the same address in socket form (a sockaddr_in)
};

}  // namespace p2p
