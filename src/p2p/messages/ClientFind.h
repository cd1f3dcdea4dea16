#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Asks the rendezvous server to bring `findUuid` and the asking computer together.
// `username`, `key` and `seed` are sent empty and 0.
class ClientFind : public FieldMessage<ClientFind> {
 public:
  static constexpr char name[] = "ClientFind";

  ClientFind() : FieldMessage(clientFind) {}
  ClientFind(const std::string& uuid, const std::string& findUuid, const std::string& localIp,
             int32_t localPort)
      : FieldMessage(clientFind),
        uuid(uuid),
        findUuid(findUuid),
        localIp(localIp),
        localPort(localPort) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("uuid", m.uuid);
    visit("findUuid", m.findUuid);
    visit("localIp", m.localIp);
    visit("localPort", m.localPort);
    visit("userName", m.username);  // the log has always spelt it so
    visit(wire::secret("key"), m.key);
    visit("seed", m.seed);
  }

  std::string uuid;
  std::string findUuid;
  std::string localIp;
  int32_t localPort = 0;
  std::string username;
  std::string key;
  int64_t seed = 0;
};

}  // namespace p2p
