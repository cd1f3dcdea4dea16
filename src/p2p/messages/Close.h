#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Ends a stream; the receiver reports `reason` (empty for an orderly close).
class Close : public Message {
 public:
  Close();
  explicit Close(int32_t channelId);

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  std::string reason;
};

}  // namespace p2p
