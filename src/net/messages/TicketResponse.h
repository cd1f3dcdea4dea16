#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/messages/Message.h"

namespace net {

// Sender to receiver: the answer to a TicketRequest, with the ticket's paths.
class TicketResponse : public FieldMessage<TicketResponse> {
 public:
  static constexpr char name[] = "TicketResponse";

  TicketResponse() : FieldMessage(TICKET_RESPONSE) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit(wire::required("status"), m.status);
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
