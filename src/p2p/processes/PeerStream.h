// A reliable, ordered, encrypted byte stream to one peer over the router's UDP socket.
//
// One side opens it with connect(), the other answers an incoming `connect` with accept();
// Diffie-Hellman runs inside that exchange and each direction then has its own Sosemanuk
// keystream. Bytes travel in numbered `data` packets and come back acknowledged by `dataAck2`,
// which names the highest sequence the peer's owner has consumed: a slow consumer holds the
// sender back. The sender keeps a congestion window, estimates the round trip, and resends on
// a time-out or on duplicate acknowledgements.
//
// In-order data is acknowledged once per AckEvery packets and at the end of the socket read
// that brought it (at the latest on the next tick); anything out of order, a gap or a
// duplicate at once. A sender that expects one acknowledgement per packet still works against
// this: each acknowledgement counts for the packets it covers, only its window grows slower.
//
// Everything arriving from the network is checked and bounded; a bad packet is dropped and
// costs at most this stream. Loop thread only; a direction that carries volume has its
// keystream made ahead on a thread of its own (KeystreamAhead), which ends with the stream.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "p2p/messages/DataAck2.h"
#include "p2p/processes/CongestionControl.h"
#include "p2p/processes/SocketAddress.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvTimer.h"
#include "utils/ByteBuffer.h"
#include "utils/KeystreamAhead.h"

class DHKeyExchange;

namespace p2p {

class Connect;
class ConnectAck;
class Data;

class PeerStream : public UdpRouter::Cb, public UvTimer::Cb {
 public:
  enum State : int32_t { Created = 0, Connecting = 1, Connected = 2, Closing = 3, Closed = 4 };

  // The owner. It ends the stream the way p2p/uv/UvLoop.h ends every object: handed to
  // deleteSoon, typically from handle_close. The stream checks its Liveness watch after each
  // call into the owner, so an owner that deletes it outright inside such a call does no harm:
  // the stream touches nothing of itself once that call returns. An exception out of
  // handle_connect, handle_recv or handle_send closes this stream with the exception's text as
  // the reason, told to the peer and to handle_close; it goes no further.
  class Cb {
   public:
    virtual ~Cb() = default;
    // Opening side only: the peer answered and the stream carries data.
    virtual void handle_connect() = 0;
    // In-order plain bytes between position and limit. Whatever the callee leaves unread is
    // offered again later, before anything newer, and is not acknowledged until read.
    virtual void handle_recv(ByteBuffer* data) = 0;
    // Acknowledged packets freed room: send() takes more now.
    virtual void handle_send() = 0;
    // Called once. Empty for an orderly end; otherwise the local failure or the peer's.
    virtual void handle_close(const std::string& reason) = 0;
  };

  static constexpr int32_t MyProtocol = 2;
  static constexpr int32_t TimerPeriod = 10;       // ms
  static constexpr int32_t ConnectTimeout = 2000;  // ms
  static constexpr int32_t AckTimeout = 4000;      // ms without any acknowledgement
  static constexpr int32_t CloseTimeout = 2000;    // ms in Closing without progress
  static constexpr int32_t IdleAckPeriod = 1000;   // ms: keep-alive of an idle stream
  static constexpr double InitialWindow = CongestionControl::InitialWindow;
  static constexpr int32_t InitialSlowStartWindow = CongestionControl::InitialSlowStartWindow;
  static constexpr int32_t MinResendTimeout = CongestionControl::MinResendTimeout;
  static constexpr int32_t MaxResendTimeout = CongestionControl::MaxResendTimeout;
  // The send limit until the peer tells its receive pool.
  static constexpr int32_t DefaultPoolSize = 100;
  // The receive pool this side advertises: packets it holds for delivery. A round trip carries
  // at most this many packets, so it bounds a long path's throughput; each held packet costs
  // about 1.5 KB, and only while it waits.
  static constexpr int32_t RecvPoolSize = 1000;
  // In-order packets per acknowledgement.
  static constexpr int32_t AckEvery = 4;
  // What a peer may advertise as its pool is held to this range.
  static constexpr int32_t MinPeerPoolSize = 2;
  static constexpr int32_t MaxPeerPoolSize = 1000;
  static constexpr int32_t PayloadLength = UdpRouter::MTU_LENGTH - UdpRouter::HEADER_LENGTH;  // 1415
  // Behind a relay the 30-byte Proxy prefix shares the datagram, and a cut payload would
  // corrupt the stream.
  static constexpr int32_t RelayedPayloadLength = PayloadLength - 30;  // 1385
  // Longest close reason put on the wire, so that a Close always fits a datagram.
  static constexpr size_t MaxReasonLength = 1000;

  // Initialisation vectors of the two directions. Both directions use the same key, so they
  // must differ or the two keystreams would be one; every computer uses this same pair.
  // The opening side writes with IV1 and reads with IV2, the accepting side the other way.
  static constexpr uint8_t IV1[16] = {'m', 'i', 'r', 'e', 'l', '-', 'i', 'v', '-', 'o', 'p', 'e', 'n', 'e', 'r', '!'};
  static constexpr uint8_t IV2[16] = {'m', 'i', 'r', 'e', 'l', '-', 'i', 'v', '-', 'a', 'c', 'c', 'e', 'p', 't', '!'};

  // Registers with the router and starts the 10 ms timer.
  PeerStream(UdpRouter* router, Cb* cb);
  // Unregisters and stops the timer; sends nothing and reports nothing.
  ~PeerStream() override;
  PeerStream(const PeerStream&) = delete;
  PeerStream& operator=(const PeerStream&) = delete;

  // Opening side: sends `connect` with the group and the own public key. Throws
  // "Illegal state in connect: %d" unless Created.
  void connect(const SocketAddress& addr);

  // Accepting side, for a `connect` that came from `from`. False when the message is refused
  // (wrong protocol or channel id 0): nothing is sent and the stream stays Created. True when
  // the stream took it: it is then Connected, or, when the key agreement failed, already closed
  // with the reason ("PG error ..." or "error generating key ...") told to both ends; in that
  // case the owner has heard handle_close before accept returns. The router's group gate
  // decides whether the peer's group is checked, or refused ("PG error: too many new groups,
  // try later"). Throws "Illegal state in accept: %d" unless Created.
  bool accept(const Connect* msg, const SocketAddress& from);

  // Takes as many bytes from b's position as the send pool holds room for (none unless
  // Connected); the rest stays in b for after handle_send.
  void send(ByteBuffer* b);

  // Ends the stream with `reason`, which the peer hears in the `close` message and the owner
  // in handle_close (empty: an orderly end). immediately, or nothing pending: ends at once
  // (handle_close runs inside this call); cutting queued data short without a reason reports
  // "closed with data undelivered". Otherwise Closing: the queued data is still delivered
  // first, then the stream ends with the reason, or with "close timeout" when it cannot drain.
  // The first non-empty reason given is the one kept.
  void close(bool immediately, const std::string& reason = "");

  bool isConnected() const { return state == Connected; }
  int32_t getChannelId() const { return channelId; }
  const SocketAddress& getAddress() const { return peerAddr; }

  bool handleRouter(Message* m, const SocketAddress& from) override;
  void handleReadEnd() override;
  void handleTimer() override;

  // Keeps at most `packets` (1 to RecvPoolSize) ahead of what the owner has read; anything further
  // is dropped and the peer sends it again. What the peer was told of the pool stays as it is. An
  // owner that does not know yet whom it serves keeps a stranger from pinning the whole pool.
  void holdAtMost(int32_t packets);

  // The owner can read again what it left unread: it is offered on the next loop turn instead of
  // at the next tick (10 ms), so that a reader that waited for its disk does not wait for the
  // clock too.
  void offerAgain();

  // The sender's window and round trip, as the acknowledgements so far left them.
  const CongestionControl& congestion() const { return congestionControl; }
  // The peer's receive pool: most packets waiting or in flight.
  int32_t peerPool() const { return maxSendPool; }

 protected:
  // Every datagram of the stream leaves through here; tests put a simulated link in its place.
  virtual void transmit(Message& m);

  // connect() offers a key agreement; without it the stream runs in the clear (benchmarks).
  bool encrypt = true;
  // How each direction's keystream is made ahead, off the loop thread, once it carries volume.
  KeystreamAhead::Limits keystreamLimits;
  // In-order packets per acknowledgement; 1 answers every packet at once, as the original
  // receiver did.
  int32_t ackEvery = AckEvery;

 private:
  // Calls into the owner; false when the owner deleted the stream meanwhile. An exception
  // from the owner closes the stream with its text.
  template <class F>
  bool callOwner(F&& call);
  bool ownerFailed(const std::string& what);

  uint64_t now() const;
  void enterConnected();
  void setCiphers(const std::string& secret, const uint8_t* writeIv, const uint8_t* readIv);
  bool handleConnectAck(const ConnectAck& ack);
  bool handleData(const Data& data);
  bool processData(int32_t sequence, const ByteBuffer& payload);
  bool deliver(bool& advanced);
  void deliverAndAck();
  void holdAck();
  void sendAck();
  void sampleRoundTrip(int32_t acknowledged);
  void processAck(const DataAck2& ack);
  void resendOnTimeout();
  CongestionControl::Flight flight() const;
  void sendData();
  void sendPacket(Data* packet);
  bool closeNow(const std::string& reason);
  Data* newPacket();
  static void freePacket(Data* packet);
  void sendLog(const char* text, int32_t sequence) const;
  void recvLog(const char* text, int32_t sequence) const;

  UdpRouter* router;
  UvLoop* loop;
  std::unique_ptr<UvTimer> timer;
  bool redeliveryDue = false;  // offerAgain posted an offer that has not run yet
  Cb* cb;
  State state = Created;
  SocketAddress peerAddr;
  std::unique_ptr<DHKeyExchange> keyExchange;
  std::unique_ptr<KeystreamAhead> readCypher;
  std::unique_ptr<KeystreamAhead> writeCypher;
  int32_t channelId = 0;
  UdpRouter::RelayRef relay;  // keeps the router believing a peer reached through a relay
  std::string closeReason;    // the owner's, until the stream ends
  int32_t payloadLength = PayloadLength;  // per packet; less behind a relay
  uint64_t connectTime = 0;
  uint64_t closeTime = 0;  // entering Closing, then each acknowledgement that advanced

  // Receiving.
  int32_t seqRecv = 0;  // highest sequence delivered and fully read
  uint64_t lastAckSendTime = 0;
  DataAck2 ackMessage;
  // Highest sequence received with nothing missing before it; at least seqRecv. What lies
  // between the two has arrived and waits for the owner to read it.
  int32_t seqContiguous = 0;
  // Highest sequence deciphered: the read keystream stands at its end. A packet that arrives
  // next in that order is deciphered as it is copied in, the others when delivered.
  int32_t seqDeciphered = 0;
  int32_t seqAcknowledged = 0;  // seqRecv as the last acknowledgement gave it
  bool ackHeld = false;        // an acknowledgement is due at the end of the read or the tick
  bool atReadEnd = false;      // the router calls handleReadEnd
  const int32_t maxRecvPool = RecvPoolSize;  // most packets held for delivery; advertised to the peer
  std::vector<Data*> recvPool;  // free receive packets
  // Packets waiting for delivery, at index sequence % maxRecvPool: only sequences from
  // seqRecv + 1 to seqRecv + maxRecvPool are held, so no two share a slot.
  std::vector<Data*> recvOutOfOrder;
  int32_t recvHeld = 0;
  int32_t holdLimit = RecvPoolSize;  // most sequences held ahead of seqRecv; at most maxRecvPool

  // Sending.
  int32_t maxSendPool = DefaultPoolSize;  // the peer's receive pool: most packets waiting or in flight
  CongestionControl congestionControl;
  int32_t ackRecv = 0;        // highest sequence the peer acknowledged
  int32_t ackOutOfOrder = 0;  // packets the peer holds beyond ackRecv
  uint64_t ackRecvTime = 0;
  int32_t nextSeq = 0;          // sequence of the last packet queued
  int32_t highestSent = 0;      // sequence of the last packet sent at least once
  std::vector<Data*> sendPool;  // free send packets
  std::deque<Data*> sendWait;   // queued, not sent yet
  std::deque<Data*> sendSent;   // sent, not acknowledged

  Liveness liveness;
};

}  // namespace p2p
