#include "p2p/requests/Verify.h"

#include <stdexcept>

#include "utils/Utils.h"

namespace p2p {

VerifyRequest::VerifyRequest(const std::string& myUuid, const std::string& peerUuid, const std::string& peerUserName,
                             const std::string& peerIp, const std::string& peerSignature) {
  if (myUuid.empty()) throw std::runtime_error("myUuid is empty");
  if (peerUuid.empty()) throw std::runtime_error("peerUuid is empty");
  if (peerUserName.empty()) throw std::runtime_error("peerUserName is empty");

  // The uuid and signature come from the peer's message: encoded like every other value.
  path << "Verify?myuuid=" << Utils::urlEncode(myUuid) << "&uuid=" << Utils::urlEncode(peerUuid)
       << "&name=" << Utils::urlEncode(peerUserName) << "&ip=" << Utils::urlEncode(peerIp)
       << "&sig=" << Utils::urlEncode(peerSignature);
}

bool VerifyRequest::parseResponse(const std::string&) { return true; }

}  // namespace p2p
