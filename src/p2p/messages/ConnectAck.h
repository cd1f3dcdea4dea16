#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Answers a `Connect` on its channel; `pk` is empty when the stream stays unencrypted.
class ConnectAck : public FieldMessage<ConnectAck> {
 public:
  static constexpr char name[] = "ConnectAck";

  ConnectAck() : FieldMessage(connectAck) {}
  ConnectAck(int32_t channelId, int32_t sendPoolSize, int32_t protocol, const std::string& pk)
      : FieldMessage(connectAck), sendPoolSize(sendPoolSize), protocol(protocol), pk(pk) {
    this->channelId = channelId;
  }

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("sendPoolSize", m.sendPoolSize);
    visit("protocol", m.protocol);
    visit("pk", m.pk);
  }

  int32_t sendPoolSize = 0;
  int32_t protocol = 0;
  std::string pk;  // Base64
};

}  // namespace p2p
