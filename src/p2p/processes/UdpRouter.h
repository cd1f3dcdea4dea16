// The process's one UDP socket and the fan-out of its messages: outgoing messages are
// encoded into pooled datagrams (behind a Proxy prefix when the peer sits behind a relay);
// every received datagram is decoded, its Proxy and Codec prefixes unwrapped, and the message
// offered to the listeners in registration order until one takes it.
//
// Datagrams go out in bursts where the kernel segments them (UDP segmentation offload): during
// a read from the socket, and inside a Burst, what is sent is held back and runs of equal-sized
// datagrams to one destination leave in one system call at the end. Elsewhere, and where the
// kernel refuses segmentation, each datagram leaves on its own at once.
//
// Nothing a peer sends can stop the engine: a datagram that fails to decode, or whose message
// a listener chokes on, is logged (rate-limited) and dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "p2p/messages/Message.h"
#include "p2p/processes/DhGroupGate.h"
#include "p2p/processes/SocketAddress.h"
#include "p2p/uv/Liveness.h"
#include "p2p/uv/SelfOwned.h"
#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvUdp.h"
#include "utils/ByteBuffer.h"
#include "utils/LogBudget.h"

namespace p2p {

class UdpRouter : public UvUdp::RecvCb {
 public:
  static constexpr int MTU_MAX_LENGTH = 1464;
  static constexpr int MTU_MIN_LENGTH = 548;
  static constexpr int HEADER_LENGTH = 9;
  // The most bytes put into one datagram, Proxy prefix included.
  static constexpr int MTU_LENGTH = 1424;
  // Send and receive buffer size asked of the kernel (it may grant less; the grant is logged).
  static constexpr int SOCKET_BUFFER_SIZE = 4 << 20;

  class Cb {
   public:
    virtual ~Cb() = default;
    // True consumes the message. The router deletes `m` after the dispatch: copy what is
    // needed, never keep the pointer.
    virtual bool handleRouter(Message* m, const SocketAddress& from) = 0;
    // Asked for through callAtReadEnd: the read's datagrams have all been offered.
    virtual void handleReadEnd() {}
  };

  // One datagram handed to libuv. The router keeps the idle ones; one in flight owns itself
  // until its completion, which gives it back to the router, or frees it once the router is gone.
  class UdpSendCb : public UvUdp::SendCb, public SelfOwned<UdpSendCb> {
   public:
    explicit UdpSendCb(UdpRouter* router);
    ~UdpSendCb() override;

    void handleSend(int8_t* bytes, int n) override;
    void handleSendError(int status, const std::string& reason) override;

    ByteBuffer* buffer;  // the datagram while it is being sent
    Liveness::Ref<UdpRouter> router;

   private:
    void finished();
  };

  explicit UdpRouter(UvLoop* loop);
  // port 0 draws a port from 50000 to 51000; up to ten attempts, then the last failure is thrown.
  UdpRouter(UvLoop* loop, int port);
  ~UdpRouter() override;
  UdpRouter(const UdpRouter&) = delete;
  UdpRouter& operator=(const UdpRouter&) = delete;

  UvUdp* getUdp() { return udp; }
  UvLoop* getLoop() { return loop; }

  // Listeners may be added and removed during a dispatch, even from inside their own
  // handleRouter; the message in hand is offered to none added meanwhile.
  void addListener(Cb* cb);
  void removeListener(Cb* cb);

  // Encodes m at once (the caller keeps it) and sends it to addr, through addr's relay when it
  // has one. A message that cannot be encoded into MTU_LENGTH bytes, or a send that libuv
  // refuses, is logged and dropped.
  void send(Message* m, const SocketAddress& addr);

  // Holds the router's datagrams back while it lives, so that runs of them leave together; the
  // last Burst to end sends them. Nests; a read from the socket is one too.
  class Burst {
   public:
    explicit Burst(UdpRouter* router);
    ~Burst();
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;

   private:
    UdpRouter* router;
  };

  // During a read from the socket: cb (a listener) hears handleReadEnd once every datagram of
  // the read has been offered, before what was sent meanwhile leaves; true. Outside a read:
  // false, and nothing will be called. A listener removed meanwhile is not called.
  bool callAtReadEnd(Cb* cb);

  // The relays whose Proxy prefixes are believed, matched by IPv4 address and port; a Proxy
  // prefix from any other sender is dropped, since anyone can put one in front of a datagram.
  // Counted: each addRelay is undone by one removeRelay, and a relay is believed while any of
  // its users still holds it. Users hold one through a RelayRef.
  void addRelay(const SocketAddress& relay);
  void removeRelay(const SocketAddress& relay);
  bool isRelay(const SocketAddress& address) const;

  // One user's hold on a relay (the endpoint of the address given), released on destruction
  // or reset. An invalid address holds nothing. The router must outlive it.
  class RelayRef {
   public:
    RelayRef() = default;
    RelayRef(UdpRouter* router, const SocketAddress& relay);
    RelayRef(RelayRef&& other) noexcept;
    RelayRef& operator=(RelayRef&& other) noexcept;
    ~RelayRef() { reset(); }
    RelayRef(const RelayRef&) = delete;
    RelayRef& operator=(const RelayRef&) = delete;

    void reset();
    const SocketAddress& relay() const { return _relay; }

   private:
    UdpRouter* _router = nullptr;
    SocketAddress _relay;
  };

  // The engine's gate for Diffie-Hellman groups offered by peers (PeerStream::accept uses it).
  DhGroupGate& groupGate() { return gate; }

  // Outside a read that the socket opened, one datagram is a read of its own.
  void handleRecv(int8_t* bytes, int n, const sockaddr* addr) override;
  void handleRecvError(int status, const std::string& reason) override;
  void handleReadBegin() override;
  void handleReadEnd() override;

 private:

  static constexpr size_t MAX_FREE_SEND_CBS = 64;

  void receive(int8_t* bytes, int n, const sockaddr* addr);
  void dispatch(Message* m, const SocketAddress& from);
  UdpSendCb* takeSendCb();
  bool hand(UdpSendCb* sendCb, const sockaddr* to, const SocketAddress& forLog);
  void hold(Message* m, const SocketAddress& addr);
  void sendHeld();
  void recycle(UdpSendCb* sendCb);
  void warnRecv(const SocketAddress& from, const std::string& what);
  void warnSend(const SocketAddress& to, const std::string& what);

  UvLoop* loop;
  UvUdp* udp;
  std::vector<UdpSendCb*> sendCbs;  // free send objects, the last one returned first
  std::vector<Cb*> listeners;
  std::vector<Cb*> offered;  // the dispatch's snapshot; removed listeners are nulled in it
  bool dispatching = false;
  // Listeners waiting for the end of the read; removed ones are nulled.
  std::vector<Cb*> readEndCalls;
  bool reading = false;
  int bursts = 0;  // Bursts alive, the read's own included
  // Datagrams held back, laid end to end: `heldCount` of `heldSegment` bytes each, the last
  // one possibly shorter (and then no more join it), all to `heldTo`.
  std::vector<int8_t> held;
  int heldBytes = 0;
  int heldCount = 0;
  int heldSegment = 0;
  bool heldClosed = false;
  sockaddr_in heldTo{};
  struct Relay {
    sockaddr_in endpoint;
    int users;
  };
  std::vector<Relay> relays;
  DhGroupGate gate;
  LogBudget recvWarnings;
  LogBudget sendWarnings;
  Liveness liveness;  // for the sends in flight, which may complete after the router has gone
};

}  // namespace p2p
