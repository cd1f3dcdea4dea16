// One attempt to open a direct UDP path to one peer with the rendezvous server's help.
//
// The opening side asks the server with `clientFind`; the server names each side's public
// address to the other in a `clientHole` (port > 0), and both then punch (`clientHole` with
// port 0) and acknowledge (port -1) until each has seen the other's acknowledgement. From the
// fourth tick on, punches go through the relay the server named, if any; after the seventh the
// attempt fails. Loop thread only.
//
// Both uuids travel in clear, so a punch is taken only from the computer the server named:
// from its IP address (any port, since an address translator may change it) or through the
// relay the server named. Anyone else who answers first is not taken for the peer.
//
// In every attempt `uuid` is the opening side and `findUuid` the accepting side, on both
// computers; the local side opens exactly when `uuid` is `myUuid`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "p2p/processes/SocketAddress.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvTimer.h"

namespace p2p {

class ClientFind;
class ClientHole;
class Server;

class PeerHole : public UdpRouter::Cb, public UvTimer::Cb {
 public:
  enum State : int32_t {
    WaitingForHoleFromServer = 0,
    WaitingForHoleFromPeer = 1,
    WaitingForAckFromPeer = 2,
    Done = 3,
  };

  class Cb {
   public:
    virtual ~Cb() = default;
    // Once per attempt. A valid address is the peer as its punch arrived (with a relay half
    // when it came through a relay); an invalid one means the attempt failed. A callee that
    // wants the hole gone here hands it to deleteSoon() (the rule of p2p/uv/UvLoop.h), and it
    // is deleted on a later loop turn, never inside the call that is still using it.
    virtual void handleHole(const std::string& peerUuid, const SocketAddress& address, int32_t protocol) = 0;
  };

  // The hole-punching protocol version this side speaks.
  static constexpr int32_t myProtocol = 3;
  static constexpr int TICK_MS = 500;
  // Ticks already made when the relay is switched in, and when the attempt is given up.
  static constexpr int RELAY_RETRIES = 3;
  static constexpr int LAST_RETRIES = 6;

  // Registers with the router and starts ticking; nothing is sent before punch().
  PeerHole(const std::string& myUuid, const std::string& uuid, const std::string& findUuid, Server* server,
           UdpRouter* router);
  ~PeerHole() override;
  PeerHole(const PeerHole&) = delete;
  PeerHole& operator=(const PeerHole&) = delete;

  // (Re)starts an attempt reporting to cb; the opening side asks the server at once. Addresses
  // learnt in an earlier attempt are kept.
  void punch(Cb* cb);

  // Takes the `clientHole` messages of this attempt until it is done; a finished attempt
  // leaves them to the other listeners, so a new attempt to the same peer can run beside it.
  bool handleRouter(Message* m, const SocketAddress& from) override;
  // Counts a tick only once a period has passed on the loop's clock.
  void handleTimer() override;

  State getState() const { return state; }
  const std::string& getPeerUuid() const { return peerUuid; }

  // True when `from` is the rendezvous server's UDP address itself, not a relayed sender:
  // only such a sender may name peers and relays.
  static bool isFromServer(const Server* server, const SocketAddress& from);

 private:
  bool opening() const { return uuid == myUuid; }
  void takeServerHole(const ClientHole& hole, const SocketAddress& from);
  void takePeerHole(const ClientHole& hole, const SocketAddress& from);
  bool fromNamedPeer(const SocketAddress& from) const;
  void restartTicks();
  void sendFindToServer();
  void sendHoleToPeer();
  void sendAckToPeer();
  // Ends the attempt and reports; touches nothing of this object after the call.
  void finish(const SocketAddress& result);

  Server* server;
  UdpRouter* router;
  std::unique_ptr<UvTimer> timer;
  Cb* cb = nullptr;

  State state = WaitingForHoleFromServer;
  int32_t retries = 0;  // ticks of the current attempt
  int32_t protocol = myProtocol;  // the lowest version seen in this attempt
  uint64_t nextTick = 0;  // loop time from which the next tick counts

  SocketAddress peerAddressFromServer;  // punches go there
  SocketAddress peerAddressFromPeer;    // where the peer's punch came from: acknowledged, and the result
  SocketAddress proxyAddress;           // the relay the server named, if any
  std::string namedIp;                  // the peer's IP as the server named it, as a relay names it too
  UdpRouter::RelayRef relay;            // so that the peers it forwards are believed

  std::string myUuid;
  std::string uuid;
  std::string findUuid;
  std::string peerUuid;

  std::unique_ptr<ClientFind> clientFind;
  std::unique_ptr<ClientHole> clientHole;
};

}  // namespace p2p
