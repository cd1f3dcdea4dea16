#include "net/messages/FileCreate.h"

namespace net {

void FileCreate::dump(std::ostream& out) const {
  out << name << " path:" << path << " fileName:" << fileName << " size:" << size << " sync:" << sync
      << " append:" << append << " appendLength:" << appendLength << " appendMode:" << appendMode
      << " remainingFiles:" << remainingFiles;
}

}  // namespace net
