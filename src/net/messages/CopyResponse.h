#pragma once

#include <cstdint>
#include <string>

#include "net/messages/Message.h"

namespace net {

// Sender to receiver: the answer to a CopyRequest, with the size of what follows.
class CopyResponse : public FieldMessage<CopyResponse> {
 public:
  static constexpr char name[] = "CopyResponse";

  CopyResponse() : FieldMessage(COPY_RESPONSE) {}

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit(wire::required("status"), m.status);
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
