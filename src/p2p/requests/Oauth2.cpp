#include "p2p/requests/Oauth2.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "p2p/uv/UvLog.h"
#include "utils/Utils.h"

namespace p2p {

Oauth2::Oauth2(const std::string& uuid) {
  if (uuid.empty()) throw std::runtime_error("uuid is empty");
  path << "Oauth2response?uuid=" << Utils::urlEncode(uuid);
}

Oauth2Response Oauth2::parseResponse(const std::string& body) {
  nlohmann::json json = nlohmann::json::parse(body);
  Oauth2Response answer;
  answer.name = json.at("name").get<std::string>();
  answer.key = json.at("key").get<std::string>();
  // Only a true integer in int64's range: a float or a larger number would convert lossily.
  const nlohmann::json& challenge = json.at("challenge");
  if (!challenge.is_number_integer() ||
      (challenge.is_number_unsigned() && challenge.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))) {
    throw std::runtime_error("\"challenge\" is not a 64-bit integer");
  }
  answer.challenge = challenge.get<int64_t>();
  // The key is the account's password key: its length is all the log needs.
  UV_LOG("1") << "Oauth2Response name:" << answer.name << " key:<" << answer.key.size() << " bytes>";
  return answer;
}

}  // namespace p2p
