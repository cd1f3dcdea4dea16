#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// The rendezvous server's answer to a `ClientEcho`: whether its key was accepted, the
// client's public address, and the challenge for the next key.
class ServerEcho : public Message {
 public:
  ServerEcho();

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  int32_t code = 0;  // non-zero: accepted
  std::string remoteIp;
  int64_t challenge = 0;
  int64_t serverKey = 0;
  int32_t connectedPeers = 0;
};

}  // namespace p2p
