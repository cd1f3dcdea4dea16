// The receiving side of the ticket exchange: proves who this computer and user are to the
// sending computer and learns which paths the ticket offers. The answer goes to the listener as
// the TicketResponse itself (valid during onNotify), then the connection closes.
#pragma once

#include <string>

#include "net/handlers/IHandler.h"
#include "p2p/requests/TicketGet.h"

namespace net {

class TicketRecvHandler : public IHandler {
 public:
  enum State : int32_t { CREATED = 0, SEND_TICKET_REQUEST = 1, DONE = 2 };

  TicketRecvHandler(IContext* context, const std::string& code, const p2p::TicketGetResponse& ticketGetResponse);

  void handleRecv(const Message* m) override;
  // Sends the request once, when the connection first can.
  void handleSend() override;

 private:
  State state = CREATED;
  std::string code;
  p2p::TicketGetResponse ticketGetResponse;
};

}  // namespace net
