#pragma once

#include "p2p/messages/Message.h"

namespace p2p {

// A stream acknowledgement; the header's `sequence` is the highest sequence received
// in order.
class DataAck2 : public Message {
 public:
  DataAck2();

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  int32_t numOutOfOrder = 0;
  int32_t nextSequence = 0;
};

}  // namespace p2p
