#pragma once

#include <cstdint>
#include <string>

#include "net/messages/Message.h"

namespace net {

// Sender to receiver: the answer to a CopyRequest, with the size of what follows.
class CopyResponse : public Message {
 public:
  CopyResponse();

  // Throws "missing status" when the frame ends before `status`.
  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) const override;
  void dump(std::ostream& out) const override;
  int32_t getLength() const override;

  template <typename Visit, typename Self>
  static void fields(Visit& visit, Self& m) {
    visit("status", m.status);
    visit("totalFiles", m.totalFiles);
    visit("totalBytes", m.totalBytes);
    visit("reason", m.reason);
    visit("challenge", m.challenge);
  }

  int32_t status = OK;
  int32_t totalFiles = -1;  // -1: not known
  int64_t totalBytes = -1;  // -1: not known
  std::string reason;
  int64_t challenge = 0;
};

}  // namespace net
