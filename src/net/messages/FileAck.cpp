#include "net/messages/FileAck.h"

namespace net {

void FileAck::dump(std::ostream& out) const {
  out << name << " status:" << status << " filePath:" << filePath << " fileName:" << fileName
      << " bytesWritten:" << bytesWritten << " totalSize:" << totalSize << " reason:" << reason
      << " fingerprintLength:" << fingerprintLength;
}

}  // namespace net
