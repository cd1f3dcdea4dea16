#pragma once

#include "net/messages/Message.h"

namespace net {

// Receiver to sender: the user paused the transfer. No body: the frame is the 8-byte header.
class CopyPause : public FieldMessage<CopyPause> {
 public:
  static constexpr char name[] = "CopyPause";

  CopyPause() : FieldMessage(COPY_PAUSE) {}

  template <typename Visit, typename M>
  static void fields(Visit&, M&) {}
};

}  // namespace net
