#include "p2p/requests/Register.h"

#include <stdexcept>

#include "utils/Utils.h"

namespace p2p {

Register::Register(const std::string& uuid, const std::string& username, const std::string& userkey) {
  if (uuid.empty()) throw std::runtime_error("uuid is empty");
  if (username.empty()) throw std::runtime_error("username is empty");
  if (userkey.empty()) throw std::runtime_error("userkey is empty");

  std::string name = Utils::urlEncode(username);
  path << "Register?uuid=" << Utils::urlEncode(uuid) << "&name=" << name << "&key=" << Utils::urlEncode(userkey)
       << "&email=" << name << "&verify=true";
}

long long Register::parseResponse(const std::string& body) { return Server::parseDecimal(body); }

}  // namespace p2p
