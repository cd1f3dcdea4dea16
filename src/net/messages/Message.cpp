#include "net/messages/Message.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

#include "net/messages/CopyPause.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketRecv.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "utils/Utils.h"

namespace net {

namespace {

// Frames are far below 2 GiB; saturating only keeps a sum of lengths from wrapping.
int32_t saturated(int64_t n) {
  return static_cast<int32_t>(std::min<int64_t>(n, std::numeric_limits<int32_t>::max()));
}

}  // namespace

Message::Message(Opcode opcode) : opcode(opcode) {}

Message::~Message() = default;

void Message::decode(ByteBuffer&) {}

void Message::encode(ByteBuffer& b) const {
  putInt(b, 0);  // the length, written by putLength once the frame is complete
  putInt(b, opcode);
}

void Message::dump(std::ostream&) const {}

int32_t Message::getLength() const { return getHeaderLength(); }

Message* Message::newMessage(Opcode opcode) {
  switch (opcode) {
    case COPY_REQUEST: return new CopyRequest();
    case COPY_RESPONSE: return new CopyResponse();
    case FILE_ACK: return new FileAck();
    case FILE_CREATE: return new FileCreate();
    case FILE_WRITE: return new FileWrite();
    case COPY_PAUSE: return new CopyPause();
    case TICKET_REQUEST: return new TicketRequest();
    case TICKET_RESPONSE: return new TicketResponse();
    case RECV: return new TicketRecv();
    default: break;
  }
  throw std::runtime_error(Utils::format("net::newMessage opcode %d", static_cast<int>(opcode)));
}

Message* Message::decodeMessage(ByteBuffer& b) {
  const Opcode opcode = static_cast<Opcode>(b.getInt());
  std::unique_ptr<Message> m(newMessage(opcode));
  m->decode(b);
  return m.release();
}

Message* Message::getMessage(ByteBuffer& b) {
  b.flip();
  const int32_t length = b.getInt();
  if (length != b.limit())
    throw std::runtime_error(Utils::format("message length %d != buffer's limit %d", length, b.limit()));
  return decodeMessage(b);
}

void Message::putLength(ByteBuffer& b) {
  const int32_t end = b.position();
  b.position(0);
  b.putInt(end);
  b.position(end);
}

int32_t Message::getLength(const std::string& s) { return saturated(4 + static_cast<int64_t>(s.size())); }

int32_t Message::getLength(const std::vector<std::string>& strings) {
  int64_t total = 4;
  for (const std::string& s : strings) total += 4 + static_cast<int64_t>(s.size());
  return saturated(total);
}

std::string Message::getString(ByteBuffer& b) {
  if (!b.hasRemaining()) return std::string();
  const int32_t size = b.getInt();
  if (size < 0 || size > b.remaining()) throw std::runtime_error("getString size");
  return b.getString(size);
}

std::vector<std::string> Message::getStrings(ByteBuffer& b) {
  std::vector<std::string> strings;
  if (!b.hasRemaining()) return strings;
  const int32_t count = b.getInt();
  // Every string takes at least its 4-byte count, which bounds the list by the frame.
  if (count < 0 || count > b.remaining() / 4) throw std::runtime_error("getStrings count");
  strings.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) strings.push_back(getString(b));
  return strings;
}

int8_t Message::getByte(ByteBuffer& b) { return b.hasRemaining() ? b.get() : 0; }

int32_t Message::getInt(ByteBuffer& b) { return b.hasRemaining() ? b.getInt() : 0; }

int64_t Message::getLong(ByteBuffer& b) { return b.hasRemaining() ? b.getLong() : 0; }

void Message::putString(ByteBuffer& b, const std::string& s) {
  // Checked whole, so a string that does not fit leaves no count without its bytes.
  if (b.remaining() < 4 || s.size() > static_cast<size_t>(b.remaining() - 4))
    throw std::runtime_error("checkLimit");
  b.putInt(static_cast<int32_t>(s.size()));
  b.put(reinterpret_cast<const int8_t*>(s.data()), static_cast<int32_t>(s.size()));
}

void Message::putStrings(ByteBuffer& b, const std::vector<std::string>& strings) {
  if (strings.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw std::runtime_error("checkLimit");
  b.putInt(static_cast<int32_t>(strings.size()));
  for (const std::string& s : strings) putString(b, s);
}

void Message::putByte(ByteBuffer& b, int8_t v) { b.put(v); }

void Message::putInt(ByteBuffer& b, int32_t v) { b.putInt(v); }

void Message::putLong(ByteBuffer& b, int64_t v) { b.putLong(v); }

void Message::requireStatus(const ByteBuffer& b) {
  if (b.remaining() < 4) throw std::runtime_error("missing status");
}

std::ostream& operator<<(std::ostream& out, const Message& m) {
  m.dump(out);
  return out;
}

}  // namespace net
