#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Opens a stream: the opener's receive pool size and protocol version, and the
// Diffie-Hellman group and public key (all three empty for an unencrypted stream).
class Connect : public FieldMessage<Connect> {
 public:
  static constexpr char name[] = "Connect";

  Connect() : FieldMessage(connect) {}
  Connect(int32_t channelId, int32_t sendPoolSize, int32_t protocol, const std::string& p,
          const std::string& g, const std::string& pk)
      : FieldMessage(connect), sendPoolSize(sendPoolSize), protocol(protocol), p(p), g(g), pk(pk) {
    this->channelId = channelId;
  }

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("sendPoolSize", m.sendPoolSize);
    visit("protocol", m.protocol);
    visit("p", m.p);
    visit("g", m.g);
    visit("pk", m.pk);
  }

  int32_t sendPoolSize = 0;
  int32_t protocol = 0;
  std::string p;   // decimal
  std::string g;   // decimal
  std::string pk;  // Base64
};

}  // namespace p2p
