// The receiving side of the ticket exchange: proves who this computer and user are to the
// sending computer and learns which paths the ticket offers. The answer goes to the listener as
// the TicketResponse itself (valid during onNotify), then the connection closes. A sender that
// takes the request and never answers is given up on after EXCHANGE_TIMEOUT_MS.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/handlers/IHandler.h"
#include "p2p/requests/TicketGet.h"
#include "p2p/uv/UvTimer.h"

namespace net {

class TicketRecvHandler : public IHandler, public p2p::UvTimer::Cb {
 public:
  enum State : int32_t { CREATED = 0, SEND_TICKET_REQUEST = 1, DONE = 2 };

  // The sender may spend up to a minute on its own web call before it answers.
  static constexpr int64_t EXCHANGE_TIMEOUT_MS = 90000;

  TicketRecvHandler(IContext* context, const std::string& code, const p2p::TicketGetResponse& ticketGetResponse);
  ~TicketRecvHandler() override;

  void handleRecv(const Message* m) override;
  // Sends the request once, when the connection first can.
  void handleSend() override;
  // Ends the exchange with "ticket exchange timed out" once the answer is overdue (by the
  // loop's clock).
  void handleTimer() override;

 private:
  State state = CREATED;
  std::string code;
  p2p::TicketGetResponse ticketGetResponse;
  uint64_t requestedAt = 0;  // loop time the request went out
  std::unique_ptr<p2p::UvTimer> timer;
};

}  // namespace net
