// TicketGet: looks up a ticket code for the asking user and returns where its sender is.
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

struct TicketGetResponse {
  std::string userName;      // the sender's user name
  std::string computerName;  // the sender's computer name
  std::string uuid;          // the sender's computer identity
  std::string ip;
  std::string internalIp;
  int port = 0;
};

class TicketGetRequest : public Server::ServerRequest<TicketGetResponse> {
 public:
  // Throws "uuid is empty", "username is empty" or "code is empty", and refuses a code holding
  // control characters (a pasted code with a line break is a mistake, not a code).
  TicketGetRequest(const std::string& uuid, const std::string& username, const std::string& code);

  // A JSON object with "userName", "computerName", "uuid", "ip", "internalIp" (strings) and
  // "port" (an integer from 0 to 65535).
  TicketGetResponse parseResponse(const std::string& body) override;
};

}  // namespace p2p
