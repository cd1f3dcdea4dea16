// The accepting side's permanent listener: when the rendezvous server announces a computer
// that looks for this one, it punches back with a PeerHole of its own; every incoming
// `connect` goes to the owner, who tells new streams from known ones. Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "p2p/processes/PeerHole.h"
#include "p2p/processes/SocketAddress.h"
#include "p2p/processes/UdpRouter.h"

namespace p2p {

class Connect;
class Server;

class PeerAcceptor : public UdpRouter::Cb, public PeerHole::Cb {
 public:
  class Cb {
   public:
    virtual ~Cb() = default;
    // `msg` still belongs to the router, which deletes it after the call.
    virtual void handleAccept(Connect* msg, const SocketAddress& from) = 0;
  };

  PeerAcceptor(const std::string& myUuid, Server* server, UdpRouter* router, Cb* cb);
  // Holes still punching go with it: they would report to it.
  ~PeerAcceptor() override;
  PeerAcceptor(const PeerAcceptor&) = delete;
  PeerAcceptor& operator=(const PeerAcceptor&) = delete;

  bool handleRouter(Message* m, const SocketAddress& from) override;
  // On this side the punch only opens the path (the stream arrives as a `connect`), so success
  // and failure both end the hole. A path through a relay keeps the relay believed for
  // RELAY_LINGER_MS more, so that the `connect` that follows through it is not dropped.
  void handleHole(const std::string& peerUuid, const SocketAddress& address, int32_t protocol) override;

  static constexpr uint64_t RELAY_LINGER_MS = 10000;

  // Attempts still running.
  size_t holeCount() const { return holes.size(); }

 private:
  Server* server;
  UdpRouter* router;
  Cb* cb;
  std::string myUuid;
  // Each attempt sends punches to an address from a datagram: their number is bounded.
  static constexpr size_t MAX_HOLES = 64;
  std::map<std::string, std::unique_ptr<PeerHole>> holes;  // keyed by the opening side
  struct Lingering {
    uint64_t until;
    UdpRouter::RelayRef relay;
  };
  std::deque<Lingering> lingering;  // in order of expiry

  void dropExpiredRelays();
};

}  // namespace p2p
