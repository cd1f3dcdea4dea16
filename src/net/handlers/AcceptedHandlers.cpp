#include "net/handlers/AcceptedHandlers.h"

#include "net/handlers/CopyRequestHandler.h"
#include "net/handlers/TicketRequestHandler.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/Message.h"
#include "net/messages/TicketRequest.h"

namespace net {

std::unique_ptr<IHandler> newAcceptedHandler(IContext* context, const Message* first) {
  switch (first->getOpcode()) {
    case Message::COPY_REQUEST:
      return std::make_unique<CopyRequestHandler>(context, *static_cast<const CopyRequest*>(first));
    case Message::TICKET_REQUEST:
      return std::make_unique<TicketRequestHandler>(context, *static_cast<const TicketRequest*>(first));
    default:
      return nullptr;
  }
}

}  // namespace net
