#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Ends a stream; the receiver reports `reason` (empty for an orderly close).
class Close : public FieldMessage<Close> {
 public:
  static constexpr char name[] = "Close";

  Close() : FieldMessage(close) {}
  explicit Close(int32_t channelId) : FieldMessage(close) { this->channelId = channelId; }

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("reason", m.reason);
  }

  std::string reason;
};

}  // namespace p2p
