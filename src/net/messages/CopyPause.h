#pragma once

#include "net/messages/Message.h"

namespace net {

// Receiver to sender: the user paused the transfer. No body: the frame is the 8-byte header.
class CopyPause : public Message {
 public:
  CopyPause();

  void encode(ByteBuffer& b) const override;
  void dump(std::ostream& out) const override;
};

}  // namespace net
