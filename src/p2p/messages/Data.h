#pragma once

#include <cstdint>

#include "p2p/messages/Message.h"

namespace p2p {

// One stream packet. The payload has no length field: it is the rest of the datagram.
class Data : public Message {
 public:
  Data();
  // `dataBuffer` is not owned; its bytes between position and limit are the payload.
  Data(int32_t channelId, int32_t sequence, ByteBuffer* dataBuffer);

  // Points `dataBuffer` at `b` itself, positioned at the payload: nothing is copied, so
  // the payload lives only as long as the receive buffer.
  void decode(ByteBuffer& b) override;
  // Writes as much payload as the room left allows and advances `dataBuffer` by that
  // much; the rest stays for the caller. Never fails on the payload's size.
  void encode(ByteBuffer& b) override;
  void dump(std::ostream& out) const override;

  uint64_t sendTime = 0;  // loop time (ms) of the last transmission
  bool decrypted = false;
  ByteBuffer* dataBuffer = nullptr;
};

}  // namespace p2p
