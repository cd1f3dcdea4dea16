// Oauth2response: fetches the account that a browser sign-in of this computer produced. Until
// the sign-in has completed the answer carries an empty name.
#pragma once

#include <cstdint>
#include <string>

#include "p2p/processes/Server.h"

namespace p2p {

struct Oauth2Response {
  std::string name;  // the account's user name, an e-mail address
  std::string key;   // the account's user key
  int64_t challenge = 0;
};

class Oauth2 : public Server::ServerRequest<Oauth2Response> {
 public:
  // Throws "uuid is empty".
  explicit Oauth2(const std::string& uuid);

  // A JSON object with "name" and "key" (strings) and "challenge" (an integer).
  Oauth2Response parseResponse(const std::string& body) override;
};

}  // namespace p2p
