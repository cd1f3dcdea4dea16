// ForgotPassword: asks the web server to start a password reset for the user. Nobody reads the
// answer, so any status below 400 counts as taken.
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

class ForgotPassword : public Server::ServerRequest<bool> {
 public:
  // Throws "username is empty".
  explicit ForgotPassword(const std::string& username);

  bool parseResponse(const std::string& body) override;
  bool answerUsed() const override { return false; }
};

}  // namespace p2p
