#include "p2p/messages/DataAck2.h"

namespace p2p {

DataAck2::DataAck2() : Message(dataAck2) {}

void DataAck2::decode(ByteBuffer& b) {
  Message::decode(b);
  numOutOfOrder = getInt(b);
  nextSequence = getInt(b);
}

void DataAck2::encode(ByteBuffer& b) {
  Message::encode(b);
  putInt(b, numOutOfOrder);
  putInt(b, nextSequence);
}

void DataAck2::dump(std::ostream& out) const {
  dumpHeader(out, "DataAck2");
  out << " numOutOfOrder:" << numOutOfOrder << " nextSequence:" << nextSequence;
}

}  // namespace p2p
