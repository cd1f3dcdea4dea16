#pragma once

#include <string>

#include "net/messages/Message.h"

namespace net {

// Receiver to sender: asks for the paths of a ticket, signed by the receiving user.
class TicketRequest : public FieldMessage<TicketRequest> {
 public:
  static constexpr char name[] = "TicketRequest";

  TicketRequest() : FieldMessage(TICKET_REQUEST) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("uuid", m.uuid);
    visit("username", m.username);
    visit("computerName", m.computerName);
    visit(wire::secret("signature"), m.signature);  // vouches for the user
    visit("ticket", m.ticket);
    visit("peerUuid", m.peerUuid);
    visit("peerUsername", m.peerUsername);
    visit("peerComputer", m.peerComputer);
  }

  std::string uuid;
  std::string username;
  std::string computerName;
  std::string signature;
  std::string ticket;
  std::string peerUuid;
  std::string peerUsername;
  std::string peerComputer;
};

}  // namespace net
