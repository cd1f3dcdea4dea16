// Feeds arbitrary datagrams to the router exactly as its socket would, from a known relay
// (so Proxy prefixes are unwrapped) or from a stranger. The router must survive every one;
// a message that reaches a listener must dump, and encode and decode back to the same dump.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

#include "p2p/messages/Message.h"
#include "p2p/processes/SocketAddress.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvLoop.h"

namespace {

using p2p::Message;

std::string dumpOf(const Message& m) {
  std::ostringstream out;
  out << m;
  return out.str();
}

// Checks that what decoded also survives a round trip through the encoder.
struct RoundTrip : p2p::UdpRouter::Cb {
  bool handleRouter(Message* m, const p2p::SocketAddress&) override {
    if (m->getOpcode() == Message::data) return true;  // its dump shows the receive buffer
    const std::string first = dumpOf(*m);
    // Missing fields decode as defaults and encode in full; a ClientEcho2 may name up to 127
    // missing strings.
    std::vector<int8_t> out(1500 + 1024);
    ByteBuffer encoded(out.data(), static_cast<int32_t>(out.size()));
    m->encode(encoded);
    encoded.flip();
    std::unique_ptr<Message> again(Message::decodeMessage(encoded));
    if (dumpOf(*again) != first || encoded.hasRemaining()) __builtin_trap();
    return true;
  }
};

struct Harness {
  p2p::UvLoop loop;
  p2p::UdpRouter router{&loop};
  RoundTrip listener;
  p2p::SocketAddress relay{"127.0.0.2", 4183};
  p2p::SocketAddress stranger{"127.0.0.3", 5000};
  Harness() {
    router.addListener(&listener);
    router.addRelay(relay);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static Harness* harness = new Harness;  // lives for the whole run
  if (size > 1500) return 0;  // the socket's receive buffers hold 1500 bytes
  std::vector<int8_t> datagram(bytes, bytes + size);
  const p2p::SocketAddress& from = size % 2 ? harness->stranger : harness->relay;
  harness->router.handleRecv(datagram.data(), static_cast<int>(size), from.getSockaddr());
  return 0;
}
