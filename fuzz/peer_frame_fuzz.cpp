// Feeds arbitrary frames (after their length field, as the peer connection hands them over)
// to the peer message decoder. Every input must decode or throw std::runtime_error; what
// decodes must encode to getLength() bytes and decode back to the same dump.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "net/messages/FileWrite.h"
#include "net/messages/Message.h"

namespace {

std::string dumpOf(const net::Message& m) {
  std::ostringstream out;
  out << m;
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 61440) return 0;
  std::vector<int8_t> frame(bytes, bytes + size);
  ByteBuffer received(frame.data(), static_cast<int32_t>(frame.size()));
  std::unique_ptr<net::Message> m;
  try {
    m.reset(net::Message::decodeMessage(received));
  } catch (const std::runtime_error&) {
    return 0;
  }
  // Fields missing at the end are written out in full, so leave room beyond the input.
  std::vector<int8_t> out(size + 4096);
  ByteBuffer encoded(out.data(), static_cast<int32_t>(out.size()));
  if (auto* write = dynamic_cast<net::FileWrite*>(m.get()))
    std::memcpy(out.data() + net::FileWrite::getDataOffset(), write->data, static_cast<size_t>(write->length));
  m->encode(encoded);
  if (encoded.position() != m->getLength()) __builtin_trap();
  encoded.flip();
  encoded.getInt();
  std::unique_ptr<net::Message> again(net::Message::decodeMessage(encoded));
  if (dumpOf(*again) != dumpOf(*m) || encoded.hasRemaining()) __builtin_trap();
  return 0;
}
