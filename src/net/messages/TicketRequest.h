#pragma once

#include <string>

#include "net/messages/Message.h"

namespace net {

// Receiver to sender: asks for the paths of a ticket, signed by the receiving user.
class TicketRequest : public Message {
 public:
  TicketRequest();

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) const override;
  void dump(std::ostream& out) const override;
  int32_t getLength() const override;

  template <typename Visit, typename Self>
  static void fields(Visit& visit, Self& m) {
    visit("uuid", m.uuid);
    visit("username", m.username);
    visit("computerName", m.computerName);
    visit("signature", m.signature);
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
