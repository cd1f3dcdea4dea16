#include "p2p/requests/Login.h"

#include <stdexcept>

#include "utils/Sha1.h"
#include "utils/Utils.h"

namespace p2p {

LoginRequest::LoginRequest(const std::string& uuid, const std::string& username, const std::string& userkey,
                           const std::string& googleRegistrationId, bool keyRequired) {
  if (uuid.empty()) throw std::runtime_error("uuid is empty");
  if (userkey.empty()) throw std::runtime_error("userkey is empty");

  std::string challenge = std::to_string(Utils::randomLong());
  std::string challengeKey;
  Sha1::getInstance().makeEncodedDigest(challenge + userkey, challengeKey);

  path << "Login?uuid=" << Utils::urlEncode(uuid) << "&name=" << Utils::urlEncode(username);
  if (keyRequired) path << "&key=" << Utils::urlEncode(userkey);
  path << "&challenge=" << challenge << "&chkey=" << challengeKey;
  if (!googleRegistrationId.empty()) path << "&grid=" << Utils::urlEncode(googleRegistrationId);
}

long long LoginRequest::parseResponse(const std::string& body) { return Server::parseDecimal(body); }

}  // namespace p2p
