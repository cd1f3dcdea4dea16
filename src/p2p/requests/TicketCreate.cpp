#include "p2p/requests/TicketCreate.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "p2p/uv/UvLog.h"
#include "utils/Base64.h"
#include "utils/Utils.h"

namespace p2p {

TicketCreateRequest::TicketCreateRequest(const std::string& uuid, const std::string& username,
                                         const std::string& toUsername, const std::string& text, bool) {
  if (uuid.empty()) throw std::runtime_error("uuid is empty");
  if (username.empty()) throw std::runtime_error("username is empty");
  if (toUsername.empty()) throw std::runtime_error("toUsername is empty");

  std::string message = Utils::trim(text);
  path << "TicketCreate?uuid=" << Utils::urlEncode(uuid) << "&username=" << Utils::urlEncode(username)
       << "&toUsername=" << Utils::urlEncode(toUsername) << "&sendEmail=true&text=";
  if (!message.empty()) path << Utils::urlEncode(base64_encode(message));
  UV_LOG("INFO") << path.str();
}

std::string TicketCreateRequest::parseResponse(const std::string& body) {
  UV_LOG("1") << "TicketCreateResponse " << body;
  return nlohmann::json::parse(body).at("name").get<std::string>();
}

}  // namespace p2p
