#pragma once

#include <cstdint>
#include <string>

#include "net/messages/Message.h"

namespace net {

// Sender to receiver: the next file of the copy, and how much of it may be resumed.
class FileCreate : public FieldMessage<FileCreate> {
 public:
  static constexpr char name[] = "FileCreate";

  FileCreate() : FieldMessage(FILE_CREATE) {}

  // The fields a log reader follows a file by.
  void dump(std::ostream& out) const override;

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("fileName", m.fileName);
    visit("path", m.path);
    visit("size", m.size);
    visit("remainingFiles", m.remainingFiles);
    visit("sync", m.sync);
    visit("append", m.append);
    visit("uuid", m.uuid);
    visit(wire::secret("key"), m.key);
    visit("appendLength", m.appendLength);
    visit("appendMode", m.appendMode);
    visit("fingerprintMode", m.fingerprintMode);
  }

  std::string fileName;
  std::string path;
  int64_t size = 0;
  int32_t remainingFiles = 0;
  int32_t sync = 0;
  int32_t append = 0;
  std::string uuid;
  std::string key;
  int64_t appendLength = 0;
  int32_t appendMode = 0;
  int32_t fingerprintMode = 0;
};

}  // namespace net
