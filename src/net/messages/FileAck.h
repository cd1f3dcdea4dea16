#pragma once

#include <cstdint>
#include <string>

#include "net/messages/Message.h"

namespace net {

// Both directions: a file's progress, its end, or the receiver's fingerprint of the prefix
// it already holds (for resume).
class FileAck : public Message {
 public:
  FileAck();

  // Throws "missing status" when the frame ends before `status`.
  void decode(ByteBuffer& b) override;
  void encode(ByteBuffer& b) const override;
  void dump(std::ostream& out) const override;
  int32_t getLength() const override;

  template <typename Visit, typename Self>
  static void fields(Visit& visit, Self& m) {
    visit("status", m.status);
    visit("filePath", m.filePath);
    visit("fileName", m.fileName);
    visit("bytesWritten", m.bytesWritten);
    visit("totalSize", m.totalSize);
    visit("reason", m.reason);
    visit("fingerprint", m.fingerprint);
    visit("fingerprintLength", m.fingerprintLength);
    visit("appendMode", m.appendMode);
    visit("fingerprintMode", m.fingerprintMode);
  }

  int32_t status = OK;
  std::string filePath;
  std::string fileName;
  int64_t bytesWritten = 0;
  int64_t totalSize = 0;
  std::string reason;
  int64_t fingerprint = 0;
  int64_t fingerprintLength = 0;
  int32_t appendMode = 0;
  int32_t fingerprintMode = 0;
};

}  // namespace net
