#include "net/messages/FileCreate.h"

#include "net/messages/Fields.h"

namespace net {

FileCreate::FileCreate() : Message(FILE_CREATE) {}

void FileCreate::decode(ByteBuffer& b) { decodeFields(b, *this); }

void FileCreate::encode(ByteBuffer& b) const { encodeFrame(b, *this); }

void FileCreate::dump(std::ostream& out) const {
  out << "FileCreate path:" << path << " fileName:" << fileName << " size:" << size << " sync:" << sync
      << " append:" << append << " appendLength:" << appendLength << " appendMode:" << appendMode
      << " remainingFiles:" << remainingFiles;
}

int32_t FileCreate::getLength() const { return frameLength(*this); }

}  // namespace net
