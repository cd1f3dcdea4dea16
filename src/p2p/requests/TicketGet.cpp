#include "p2p/requests/TicketGet.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>

#include "p2p/uv/UvLog.h"
#include "utils/Utils.h"

namespace p2p {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

TicketGetRequest::TicketGetRequest(const std::string& uuid, const std::string& username, const std::string& code) {
  if (uuid.empty()) throw std::runtime_error("uuid is empty");
  if (username.empty()) throw std::runtime_error("username is empty");
  if (code.empty()) throw std::runtime_error("code is empty");
  if (std::any_of(code.begin(), code.end(), [](char c) { return isControl(static_cast<unsigned char>(c)); })) {
    throw std::runtime_error("code has control characters");
  }
  path << "TicketGet?uuid=" << Utils::urlEncode(uuid) << "&username=" << Utils::urlEncode(username)
       << "&name=" << Utils::urlEncode(code);
}

TicketGetResponse TicketGetRequest::parseResponse(const std::string& body) {
  UV_LOG("1") << "TicketGetResponse " << body;
  nlohmann::json json = nlohmann::json::parse(body);
  TicketGetResponse answer;
  answer.userName = json.at("userName").get<std::string>();
  answer.computerName = json.at("computerName").get<std::string>();
  answer.uuid = json.at("uuid").get<std::string>();
  answer.ip = json.at("ip").get<std::string>();
  answer.internalIp = json.at("internalIp").get<std::string>();
  // A float or an out-of-range number would convert lossily into a wrong port.
  const nlohmann::json& port = json.at("port");
  if (!port.is_number_integer() || port.get<int64_t>() < 0 || port.get<int64_t>() > 65535 ||
      (port.is_number_unsigned() && port.get<uint64_t>() > 65535)) {
    throw std::runtime_error("\"port\" is not a port number");
  }
  answer.port = port.get<int>();
  return answer;
}

}  // namespace p2p
