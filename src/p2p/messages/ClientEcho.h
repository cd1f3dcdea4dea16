#pragma once

#include <string>
#include <vector>

#include "p2p/messages/Message.h"

namespace p2p {

// The keep-alive a client sends to the rendezvous server: who it is, where it listens,
// and the key proving its login. `peers` runs to the end of the datagram and is not logged.
class ClientEcho : public FieldMessage<ClientEcho> {
 public:
  static constexpr char name[] = "ClientEcho";

  ClientEcho() : FieldMessage(clientEcho) {}

  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) override;

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("uuid", m.uuid);
    visit("userName", m.userName);
    visit("internalIp", m.internalIp);
    visit("udpPort", m.udpPort);
    visit("tcpPort", m.tcpPort);
    visit("computer", m.computer);
    visit(wire::secret("key"), m.key);  // made from the user key
  }

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
  explicit ClientEcho(Opcode opcode) : FieldMessage(opcode) {}
};

}  // namespace p2p
