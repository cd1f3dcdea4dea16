#include "net/messages/FileAck.h"

#include "net/messages/Fields.h"

namespace net {

FileAck::FileAck() : Message(FILE_ACK) {}

void FileAck::decode(ByteBuffer& b) {
  requireStatus(b);
  decodeFields(b, *this);
}

void FileAck::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void FileAck::dump(std::ostream& out) const {
  out << "FileAck status:" << status << " filePath:" << filePath << " fileName:" << fileName
      << " bytesWritten:" << bytesWritten << " totalSize:" << totalSize << " reason:" << reason
      << " fingerprintLength:" << fingerprintLength;
}

int32_t FileAck::getLength() const { return frameLength(*this); }

}  // namespace net
