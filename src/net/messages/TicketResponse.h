#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/messages/Message.h"

namespace net {

// Sender to receiver: the answer to a TicketRequest, with the ticket's paths.
class TicketResponse : public Message {
 public:
  TicketResponse();

  // Throws "missing status" when the frame ends before `status`.
  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) const override;
  void dump(std::ostream& out) const override;
  int32_t getLength() const override;

  template <typename Visit, typename Self>
  static void fields(Visit& visit, Self& m) {
    visit("status", m.status);
    visit("reason", m.reason);
    visit("ticket", m.ticket);
    visit("paths", m.paths);
  }

  int32_t status = OK;
  std::string reason;
  std::string ticket;
  std::vector<std::string> paths;
};

}  // namespace net
