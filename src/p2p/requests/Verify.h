// Verify: asks the web server whether a peer's computer, user name and signature belong
// together, before a sender trusts that peer with a ticket or a copy.
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

class VerifyRequest : public Server::ServerRequest<bool> {
 public:
  // Throws "myUuid is empty", "peerUuid is empty" or "peerUserName is empty"; peerIp and
  // peerSignature may be empty.
  VerifyRequest(const std::string& myUuid, const std::string& peerUuid, const std::string& peerUserName,
                const std::string& peerIp, const std::string& peerSignature);

  // The status alone answers the question.
  bool parseResponse(const std::string& body) override;
};

}  // namespace p2p
