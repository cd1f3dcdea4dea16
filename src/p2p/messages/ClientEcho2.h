#pragma once

#include "p2p/messages/ClientEcho.h"

namespace p2p {

// A `ClientEcho` whose peers are counted by a signed byte instead of running to the end.
// Only ever received; it dumps as a `ClientEcho`.
class ClientEcho2 : public ClientEcho {
 public:
  ClientEcho2() : ClientEcho(clientEcho2) {}

  void decode(ByteBuffer& b) override;
  // More than 127 peers cannot be counted in the byte and throws rather than miscount.
  void encode(ByteBuffer& b) override;
};

}  // namespace p2p
