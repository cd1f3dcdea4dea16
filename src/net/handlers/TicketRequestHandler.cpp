#include "net/handlers/TicketRequestHandler.h"

#include "net/handlers/PeerManager.h"
#include "net/handlers/VerifyVerdict.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "p2p/uv/UvLog.h"

namespace net {

namespace {
const char* const kNotFound = "Ticket not found";
const char* const kTooLarge = "offer too large to send";
}

bool TicketRequestHandler::fitsOneFrame(const TicketResponse& response) {
  return response.getLength() <= PeerManager::BUFFER_SIZE;
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
  switch (verifyVerdict(response)) {
    case VerifyVerdict::Confirmed:
      UV_LOG("1") << "verify ok";
      sendResponse(Message::OK, "");
      break;
    case VerifyVerdict::Refused:
      UV_LOG("1") << "verify error " << response.status << " " << response.error;
      sendResponse(Message::NOT_FOUND, kNotFound);
      break;
    case VerifyVerdict::Unreachable: {
      // Nobody refused the receiver: it may ask again once the web server is back.
      const std::string why = verifyFailure(response);
      UV_LOG("WARN") << "ticket " << ticket.code << ": verify " << response.status << ", " << why;
      sendResponse(Message::TIMEOUT, why);
      break;
    }
  }
}

// The answer comes after a web call, outside any call of the connection: nothing may leave it
// as an exception, and a connection that is closing meanwhile simply gets no answer.
void TicketRequestHandler::sendResponse(Message::Status status, const std::string& reason) {
  state = done;
  TicketResponse response;
  response.status = status;
  response.reason = reason;
  if (status == Message::OK) {
    response.ticket = ticket.code;
    response.paths.assign(ticket.files.begin(), ticket.files.end());
    if (!fitsOneFrame(response)) {
      response = TicketResponse();
      response.status = Message::UNEXPECTED_ERROR;
      response.reason = kTooLarge;
    }
  }
  try {
    if (!context->send(&response)) {
      context->close(true, "can't send to peer");
      return;
    }
  } catch (const std::exception& e) {
    context->close(true, e.what());
    return;
  }
  context->close(false, "");
}

}  // namespace net
