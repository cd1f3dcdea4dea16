#include "p2p/messages/Message.h"

#include <stdexcept>

#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/ClientEcho2.h"
#include "p2p/messages/ClientFind.h"
#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Codec.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "p2p/messages/DataAck2.h"
#include "p2p/messages/Proxy.h"
#include "p2p/messages/ServerEcho.h"
#include "utils/Utils.h"

namespace p2p {

Message::Message(Opcode opcode) : opcode(opcode) {}

Message::~Message() = default;

void Message::decode(ByteBuffer& b) {
  channelId = getInt(b);
  sequence = getInt(b);
}

void Message::encode(ByteBuffer& b) {
  putByte(b, static_cast<int8_t>(opcode));
  putInt(b, channelId);
  putInt(b, sequence);
}

void Message::dumpHeader(std::ostream& out, const char* name) const {
  out << name << " channelId:" << channelId << " sequence:" << sequence;
}

Message* Message::newMessage(Opcode opcode) {
  switch (opcode) {
    case connect: return new Connect();
    case connectAck: return new ConnectAck();
    case data: return new Data();
    case close: return new Close();
    case clientEcho: return new ClientEcho();
    case clientFind: return new ClientFind();
    case clientHole: return new ClientHole();
    case serverEcho: return new ServerEcho();
    case dataAck2: return new DataAck2();
    case proxy: return new Proxy();
    case codec: return new Codec();
    case clientEcho2: return new ClientEcho2();
  }
  throw std::runtime_error(Utils::format("p2p::newMessage opcode %d", static_cast<int>(opcode)));
}

Message* Message::decodeMessage(ByteBuffer& b) {
  // Signed on purpose: a byte of 0x80 or more is a negative opcode and is refused.
  return wire::decodeMessage<Message>(static_cast<Opcode>(b.get()), b);
}

Message* Message::getMessage(ByteBuffer& b) {
  b.flip();
  return decodeMessage(b);
}

std::ostream& operator<<(std::ostream& out, const Message& m) {
  m.dump(out);
  return out;
}

void xorBuffer(int8_t key, ByteBuffer& from, ByteBuffer& to) {
  const int32_t n = from.remaining();
  if (to.remaining() < n) throw std::runtime_error("checkLimit");
  const int8_t* in = from.array() + from.position();
  int8_t* out = to.array() + to.position();
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<int8_t>(in[i] ^ key);
  from.position(from.position() + n);
  to.position(to.position() + n);
}

}  // namespace p2p
