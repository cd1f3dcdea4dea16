// The sending side of the ticket exchange: answers a receiver's TicketRequest with the paths
// of the matching offer, once the web server has confirmed who the receiver is, or with
// NOT_FOUND "Ticket not found", or with TIMEOUT when the web server could not be asked. One
// exchange per connection.
#pragma once

#include <memory>
#include <string>

#include "net/handlers/IHandler.h"
#include "net/messages/Message.h"
#include "p2p/processes/Server.h"

namespace net {

class TicketRequest;
class TicketResponse;

class TicketRequestHandler : public IHandler, public p2p::Server::ServerCb<bool> {
 public:
  enum State : int32_t { created = 0, verifying = 1, done = 2 };

  TicketRequestHandler(IContext* context, const TicketRequest& request);
  ~TicketRequestHandler() override;

  void handleRecv(const Message*) override {}
  // The first call looks the offer up and asks the web server, or answers at once when there is
  // nothing to ask.
  void handleSend() override;
  void handleServerResponse(const p2p::Server::ServerResponse<bool>& response) override;

  // An offer's answer must go out in one frame.
  static bool fitsOneFrame(const TicketResponse& response);

 private:
  void sendResponse(Message::Status status, const std::string& reason);

  State state = created;
  std::unique_ptr<TicketRequest> request;
  IContext::Ticket ticket;
};

}  // namespace net
