#pragma once

#include <cstdint>

#include "net/messages/Message.h"

namespace net {

// Sender to receiver: one chunk of file data, `length` raw bytes after the fields.
//
// Neither direction copies the data. The sender reads the file straight into its send
// buffer at getDataOffset() and then encodes, which writes the fields around it; the
// receiver's `data` points into the buffer it decoded, valid until that buffer is reused.
class FileWrite : public FieldMessage<FileWrite> {
 public:
  static constexpr char name[] = "FileWrite";

  FileWrite() : FieldMessage(FILE_WRITE) {}

  // Throws "FileWrite length" when `length` is negative or more than the frame still holds.
  void decode(ByteBuffer& b) override;
  // Expects the `length` data bytes at getDataOffset() of `b` already and moves past them;
  // `data` is not read. Encoding starts at the front of a cleared buffer.
  void encode(ByteBuffer& b) const override;
  int32_t getLength() const override;

  // Where the data starts in the frame: the header, status, offset and length.
  static int32_t getDataOffset() { return 24; }

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit(wire::required("status"), m.status);
    visit("offset", m.offset);
    visit("length", m.length);
  }

  int32_t status = OK;
  int64_t offset = 0;  // of the chunk in the file
  int32_t length = 0;  // of the data
  int8_t* data = nullptr;  // set by decode only; not owned
};

}  // namespace net
