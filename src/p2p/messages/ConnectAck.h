#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Answers a `Connect` on its channel; `pk` is empty when the stream stays unencrypted.
class ConnectAck : public Message {
 public:
  ConnectAck();
  ConnectAck(int32_t channelId, int32_t sendPoolSize, int32_t protocol, const std::string& pk);

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  int32_t sendPoolSize = 0;
  int32_t protocol = 0;
  std::string pk;  // Base64
};

}  // namespace p2p
