#pragma once

#include "p2p/messages/Message.h"

namespace p2p {

// A received prefix: every byte after it is the inner message XORed with `key`
// (see xorBuffer). Nothing here sends one.
class Codec : public Message {
 public:
  Codec();

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  int8_t key = 0;
};

}  // namespace p2p
