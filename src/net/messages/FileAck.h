#pragma once

#include <cstdint>
#include <string>

#include "net/messages/Message.h"

namespace net {

// Both directions: a file's progress, its end, or the receiver's fingerprint of the prefix
// it already holds (for resume).
class FileAck : public FieldMessage<FileAck> {
 public:
  static constexpr char name[] = "FileAck";

  FileAck() : FieldMessage(FILE_ACK) {}

  // The fields a log reader follows a file by.
  void dump(std::ostream& out) const override;

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit(wire::required("status"), m.status);
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
