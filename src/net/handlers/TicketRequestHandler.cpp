#include "net/handlers/TicketRequestHandler.h"

#include <stdexcept>

#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "p2p/uv/UvLog.h"

namespace net {

namespace {
const char* const kNotFound = "Ticket not found";
}

TicketRequestHandler::TicketRequestHandler(IContext* context, const TicketRequest& request)
    : IHandler(context), request(std::make_unique<TicketRequest>(request)) {
  handlerName = "TicketRequestHandler";
}

TicketRequestHandler::~TicketRequestHandler() = default;

void TicketRequestHandler::handleSend() {
  if (state != created) return;
  UV_LOG("1") << *request;
  // Without a name or a computer there is nobody the web server could vouch for.
  if (request->uuid.empty() || request->username.empty()) {
    sendResponse(Message::NOT_FOUND, kNotFound);
    return;
  }
  ticket = context->findTicket(request->ticket, request->username);
  if (ticket.code.empty()) {
    sendResponse(Message::NOT_FOUND, kNotFound);
    return;
  }
  state = verifying;
  context->verify(request->uuid, request->username, request->signature, this);
}

void TicketRequestHandler::handleServerResponse(const p2p::Server::ServerResponse<bool>& response) {
  if (state != verifying) return;
  // Only a plain yes counts: a redirect or an unreadable answer is no confirmation.
  if (response.status != 200 || !response.error.empty()) {
    UV_LOG("1") << "verify error " << response.status << " " << response.error;
    sendResponse(Message::NOT_FOUND, kNotFound);
    return;
  }
  UV_LOG("1") << "verify ok";
  sendResponse(Message::OK, "");
}

void TicketRequestHandler::sendResponse(Message::Status status, const std::string& reason) {
  state = done;
  TicketResponse response;
  response.status = status;
  response.reason = reason;
  if (status == Message::OK) {
    response.ticket = ticket.code;
    response.paths.assign(ticket.files.begin(), ticket.files.end());
  }
  if (!context->send(&response)) throw std::runtime_error("can't send to peer");
  context->close(false, "");
}

}  // namespace net
