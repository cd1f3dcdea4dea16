#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// The rendezvous server's answer to a `ClientEcho`: whether its key was accepted, the
// client's public address, and the challenge for the next key.
class ServerEcho : public FieldMessage<ServerEcho> {
 public:
  static constexpr char name[] = "ServerEcho";

  ServerEcho() : FieldMessage(serverEcho) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("code", m.code);
    visit("remoteIp", m.remoteIp);
    visit("challenge", m.challenge);
    visit("serverKey", m.serverKey);
    visit("connectedPeers", m.connectedPeers);
  }

  int32_t code = 0;  // non-zero: accepted
  std::string remoteIp;
  int64_t challenge = 0;
  int64_t serverKey = 0;
  int32_t connectedPeers = 0;
};

}  // namespace p2p
