#include "p2p/requests/ForgotPassword.h"

#include <stdexcept>

#include "utils/Utils.h"

namespace p2p {

ForgotPassword::ForgotPassword(const std::string& username) {
  if (username.empty()) throw std::runtime_error("username is empty");
  path << "ForgotPassword?name=" << Utils::urlEncode(username);
}

bool ForgotPassword::parseResponse(const std::string&) { return true; }

}  // namespace p2p
