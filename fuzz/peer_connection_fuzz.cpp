// Feeds a byte stream, cut into chunks the input chooses, to an accepted peer connection's
// receive path exactly as its stream would: framing, decoding and the first message choosing
// the handler. Whatever arrives, the connection must end cleanly or go on, never take the
// engine down, and leave nothing behind once closed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/handlers/Manager.h"
#include "net/handlers/PeerManager.h"
#include "p2p/messages/Connect.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/ByteBuffer.h"
#include "utils/Properties.h"

namespace {

struct Harness {
  p2p::UvLoop loop;
  Properties properties;
  std::unique_ptr<net::Manager> manager;
  p2p::SocketAddress peer{"127.0.0.1", 9};  // the discard port: answers go nowhere
  int32_t channel = 0;

  Harness() {
    p2p::UvLog::init(&loop, -9, -100, "");  // quiet
    properties.serverUrl = "https://127.0.0.1:1/";
    properties.uuid = "11111111-2222-1333-8444-555555555555";
    properties.username = "fuzz@example.com";
    properties.userkey = "key";
    properties.tcpPort = 1;  // no local HTTP server needed
    manager = std::make_unique<net::Manager>(properties, &loop);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static Harness* h = new Harness;  // lives for the whole run
  if (size > 65536) return 0;
  FuzzedDataProvider input(bytes, size);
  p2p::Connect connect(++h->channel, 100, p2p::PeerStream::MyProtocol, "", "", "");
  net::PeerManager* pm = net::PeerManager::accept(h->manager.get(), &connect, h->peer);
  if (!pm) __builtin_trap();
  while (input.remaining_bytes() > 0 && !pm->isClosing()) {
    const size_t length = input.ConsumeIntegralInRange<size_t>(1, 4096);
    std::vector<uint8_t> piece = input.ConsumeBytes<uint8_t>(length);
    ByteBuffer chunk(reinterpret_cast<int8_t*>(piece.data()), static_cast<int32_t>(piece.size()));
    // What the connection leaves unread is offered again, as the stream does.
    for (int offers = 0; offers < 2 && chunk.hasRemaining() && !pm->isClosing(); ++offers) pm->handle_recv(&chunk);
  }
  pm->close(true, "");
  uv_run(h->loop.uvLoop(), UV_RUN_NOWAIT);
  h->loop.flushDeletions();
  if (!h->manager->livePeers().empty()) __builtin_trap();
  return 0;
}
