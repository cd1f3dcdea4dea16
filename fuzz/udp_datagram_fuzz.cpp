// Feeds arbitrary datagrams to the UDP decoder the way the router unwraps them: an
// optional relay prefix, an optional XOR prefix undone in place, one message. Decoding
// may fail only with std::runtime_error; a message that decodes must dump, and must
// encode and decode back to the same dump.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "p2p/messages/Codec.h"
#include "p2p/messages/Message.h"

namespace {

using p2p::Message;

std::unique_ptr<Message> unwrap(ByteBuffer& datagram) {
  std::unique_ptr<Message> m(Message::decodeMessage(datagram));
  if (m->getOpcode() == Message::proxy) m.reset(Message::decodeMessage(datagram));
  if (m->getOpcode() == Message::codec) {
    const int8_t key = static_cast<p2p::Codec&>(*m).key;
    // In place, through a second view over the same bytes; the datagram view then reads
    // the inner message, so a Data payload points into a buffer that outlives this call.
    const int32_t start = datagram.position();
    ByteBuffer rest(datagram.array() + start, datagram.remaining());
    p2p::xorBuffer(key, datagram, rest);
    datagram.position(start);
    m.reset(Message::decodeMessage(datagram));
  }
  return m;
}

std::string dumpOf(const Message& m) {
  std::ostringstream out;
  out << m;
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0 || size > 1500) return 0;  // the router's receive buffers hold 1500 bytes
  std::vector<int8_t> storage(bytes, bytes + size);
  ByteBuffer datagram(storage.data(), static_cast<int32_t>(size));
  std::unique_ptr<Message> m;
  try {
    m = unwrap(datagram);
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (datagram.position() > datagram.limit()) __builtin_trap();
  const std::string first = dumpOf(*m);
  if (m->getOpcode() == Message::data) return 0;  // its dump shows the receive buffer

  // Missing fields decode as defaults and encode in full, so allow room to grow; a
  // ClientEcho2 may name up to 127 missing strings.
  std::vector<int8_t> out(size + 1024);
  ByteBuffer encoded(out.data(), static_cast<int32_t>(out.size()));
  m->encode(encoded);
  encoded.flip();
  std::unique_ptr<Message> again(Message::decodeMessage(encoded));
  if (dumpOf(*again) != first) __builtin_trap();
  if (encoded.hasRemaining()) __builtin_trap();
  return 0;
}
