#pragma once

#include <string>

#include "p2p/messages/Message.h"

namespace p2p {

// Asks the rendezvous server to bring `findUuid` and the asking computer together.
// `username`, `key` and `seed` are sent empty and 0.
class ClientFind : public Message {
 public:
  ClientFind();
  ClientFind(const std::string& uuid, const std::string& findUuid, const std::string& localIp,
             int32_t localPort);

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  std::string uuid;
  std::string findUuid;
  std::string localIp;
  int32_t localPort = 0;
  std::string username;
  std::string key;
  int64_t seed = 0;
};

}  // namespace p2p
