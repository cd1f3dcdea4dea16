#include "p2p/messages/Message.h"

#include <memory>
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
  const Opcode opcode = static_cast<Opcode>(b.get());
  std::unique_ptr<Message> m(newMessage(opcode));
  m->decode(b);
  return m.release();
}

Message* Message::getMessage(ByteBuffer& b) {
  b.flip();
  return decodeMessage(b);
}

int8_t Message::getByte(ByteBuffer& b) { return b.hasRemaining() ? b.get() : 0; }

int32_t Message::getInt(ByteBuffer& b) { return b.hasRemaining() ? b.getInt() : 0; }

int64_t Message::getLong(ByteBuffer& b) { return b.hasRemaining() ? b.getLong() : 0; }

std::string Message::getString(ByteBuffer& b) {
  if (!b.hasRemaining()) return std::string();
  const int32_t size = b.getInt();
  // A negative count is as damaged as an over-long one.
  if (size < 0 || size > b.remaining()) throw std::runtime_error("getString size");
  return b.getString(size);
}

void Message::putByte(ByteBuffer& b, int8_t v) { b.put(v); }

void Message::putInt(ByteBuffer& b, int32_t v) { b.putInt(v); }

void Message::putLong(ByteBuffer& b, int64_t v) { b.putLong(v); }

void Message::putString(ByteBuffer& b, const std::string& s) {
  // Checked as a whole so a string that does not fit leaves no half-written count.
  if (b.remaining() < getLength(s)) throw std::runtime_error("checkLimit");
  b.putInt(static_cast<int32_t>(s.size()));
  b.put(reinterpret_cast<const int8_t*>(s.data()), static_cast<int32_t>(s.size()));
}

int32_t Message::getLength(const std::string& s) {
  // Datagrams are far below 2 GiB; the clamp only keeps the sum from wrapping.
  const size_t n = s.size() < 0x7FFFFFF0u ? s.size() : 0x7FFFFFF0u;
  return 4 + static_cast<int32_t>(n);
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
