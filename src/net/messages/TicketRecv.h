#pragma once

#include <string>

#include "net/messages/Message.h"

namespace net {

// A receive by ticket code (opcode RECV). Decoded when it comes; this side never sends it.
class TicketRecv : public FieldMessage<TicketRecv> {
 public:
  static constexpr char name[] = "TicketRecv";

  TicketRecv() : FieldMessage(RECV) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("code", m.code);
  }

  std::string code;
};

}  // namespace net
