#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Opens a stream: the opener's receive pool size and protocol version, and the
// Diffie-Hellman group and public key (all three empty for an unencrypted stream).
class Connect : public Message {
 public:
  Connect();
  Connect(int32_t channelId, int32_t sendPoolSize, int32_t protocol, const std::string& p,
          const std::string& g, const std::string& pk);

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  int32_t sendPoolSize = 0;
  int32_t protocol = 0;
  std::string p;   // decimal
  std::string g;   // decimal
  std::string pk;  // Base64
};

}  // namespace p2p
