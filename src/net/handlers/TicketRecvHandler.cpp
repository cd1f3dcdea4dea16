#include "net/handlers/TicketRecvHandler.h"

#include "net/messages/Message.h"
#include "net/messages/TicketRequest.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"

namespace net {

TicketRecvHandler::TicketRecvHandler(IContext* context, const std::string& code,
                                     const p2p::TicketGetResponse& ticketGetResponse)
    : IHandler(context), code(code), ticketGetResponse(ticketGetResponse) {
  handlerName = "TicketRecvHandler";
}

TicketRecvHandler::~TicketRecvHandler() = default;

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
  requestedAt = context->loop()->now();
  timer = std::make_unique<p2p::UvTimer>(context->loop());
  timer->start(static_cast<int>(EXCHANGE_TIMEOUT_MS), 0, this);
  context->send(&request);
}

void TicketRecvHandler::handleRecv(const Message* m) {
  if (state != SEND_TICKET_REQUEST) return;
  state = DONE;
  if (timer) timer->stop();
  if (m->getOpcode() != Message::TICKET_RESPONSE) {
    context->close(false, "unexpected message " + std::to_string(m->getOpcode()));
    return;
  }
  context->notify(const_cast<Message*>(m));
  context->close(false, "");
}

void TicketRecvHandler::handleTimer() {
  if (state != SEND_TICKET_REQUEST) return;
  const uint64_t waited = context->loop()->now() - requestedAt;
  if (waited < static_cast<uint64_t>(EXCHANGE_TIMEOUT_MS)) {
    // The timer and the loop's clock may disagree a little: wait out the rest.
    timer->start(static_cast<int>(EXCHANGE_TIMEOUT_MS - static_cast<int64_t>(waited)), 0, this);
    return;
  }
  state = DONE;
  context->close(true, "ticket exchange timed out");
}

}  // namespace net
