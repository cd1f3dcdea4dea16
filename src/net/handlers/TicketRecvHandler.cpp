#include "net/handlers/TicketRecvHandler.h"

#include "net/messages/Message.h"
#include "net/messages/TicketRequest.h"
#include "p2p/uv/UvLog.h"

namespace net {

TicketRecvHandler::TicketRecvHandler(IContext* context, const std::string& code,
                                     const p2p::TicketGetResponse& ticketGetResponse)
    : IHandler(context), code(code), ticketGetResponse(ticketGetResponse) {
  handlerName = "TicketRecvHandler";
}

void TicketRecvHandler::handleSend() {
  if (state != CREATED) return;
  state = SEND_TICKET_REQUEST;
  TicketRequest request;
  request.uuid = context->uuid();
  request.username = context->username();
  request.computerName = context->computerName();
  context->makeSignature(ticketGetResponse.uuid, request.signature);
  request.ticket = code;
  request.peerUuid = ticketGetResponse.uuid;
  request.peerUsername = ticketGetResponse.userName;
  request.peerComputer = ticketGetResponse.computerName;
  UV_LOG("1") << request;
  context->send(&request);
}

void TicketRecvHandler::handleRecv(const Message* m) {
  if (state != SEND_TICKET_REQUEST) return;
  state = DONE;
  if (m->getOpcode() != Message::TICKET_RESPONSE) {
    context->close(false, "unexpected message " + std::to_string(m->getOpcode()));
    return;
  }
  context->notify(const_cast<Message*>(m));
  context->close(false, "");
}

}  // namespace net
