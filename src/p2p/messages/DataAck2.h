#pragma once

#include "p2p/messages/Message.h"

namespace p2p {

// A stream acknowledgement; the header's `sequence` is the highest sequence received
// in order.
class DataAck2 : public FieldMessage<DataAck2> {
 public:
  static constexpr char name[] = "DataAck2";

  DataAck2() : FieldMessage(dataAck2) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("numOutOfOrder", m.numOutOfOrder);
    visit("nextSequence", m.nextSequence);
  }

  int32_t numOutOfOrder = 0;
  int32_t nextSequence = 0;
};

}  // namespace p2p
