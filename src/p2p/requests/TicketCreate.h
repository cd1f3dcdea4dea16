// TicketCreate: offers something from this computer to another user; the answer is the new
// ticket's code. The optional message travels trimmed, in Base64.
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

class TicketCreateRequest : public Server::ServerRequest<std::string> {
 public:
  // Throws "uuid is empty", "username is empty" or "toUsername is empty". Every caller asks for
  // the e-mail, so the query always carries sendEmail=true.
  TicketCreateRequest(const std::string& uuid, const std::string& username, const std::string& toUsername,
                      const std::string& text, bool sendEmail);

  // A JSON object whose "name" (a string) is the code.
  std::string parseResponse(const std::string& body) override;
};

}  // namespace p2p
