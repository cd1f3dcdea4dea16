// Login: proves the user key without sending it (a random challenge and the SHA-1 of the
// challenge with the key), unless the server asked for the key itself. The answer is the
// challenge for the UDP keep-alive.
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

class LoginRequest : public Server::ServerRequest<long long> {
 public:
  // Throws "uuid is empty" or "userkey is empty". An empty username or googleRegistrationId is
  // allowed; the latter is then left out.
  LoginRequest(const std::string& uuid, const std::string& username, const std::string& userkey,
               const std::string& googleRegistrationId, bool keyRequired);

  long long parseResponse(const std::string& body) override;
};

}  // namespace p2p
