// Register: creates an account; the user name is also the account's e-mail address. The answer
// is a number.
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

class Register : public Server::ServerRequest<long long> {
 public:
  // Throws "uuid is empty", "username is empty" or "userkey is empty".
  Register(const std::string& uuid, const std::string& username, const std::string& userkey);

  long long parseResponse(const std::string& body) override;
};

}  // namespace p2p
