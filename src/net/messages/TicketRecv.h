#pragma once

#include <string>

#include "net/messages/Message.h"

namespace net {

// A receive by ticket code (opcode RECV). Decoded when it comes; this side never sends it.
class TicketRecv : public Message {
 public:
  TicketRecv();

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) const override;
  void dump(std::ostream& out) const override;
  int32_t getLength() const override;

  template <typename Visit, typename Self>
  static void fields(Visit& visit, Self& m) {
    visit("code", m.code);
  }

  std::string code;
};

}  // namespace net
