#pragma once

#include <string>
#include <vector>

#include "p2p/messages/Message.h"

namespace p2p {

// The keep-alive a client sends to the rendezvous server: who it is, where it listens,
// and the key proving its login. `peers` runs to the end of the datagram.
class ClientEcho : public Message {
 public:
  ClientEcho();

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  std::string uuid;
  std::string userName;
  std::string internalIp;
  int32_t udpPort = 0;
  int32_t tcpPort = 0;
  std::string computer;
  std::string key;  // 40 lowercase hex characters, or empty
  std::vector<std::string> peers;

 protected:
  // For `ClientEcho2`, which shares every field and differs only in how peers are laid out.
  explicit ClientEcho(Opcode opcode);
  void decodeFields(ByteBuffer& b);
  void encodeFields(ByteBuffer& b);
};

}  // namespace p2p
