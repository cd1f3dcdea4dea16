#include "p2p/processes/PeerStream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "p2p/messages/Close.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "p2p/uv/UvLog.h"
#include "utils/Base64.h"
#include "utils/DH.h"
#include "utils/Utils.h"

namespace p2p {

namespace {

constexpr int kKeyLength = 16;

int32_t clampTo(int32_t value, int32_t low, int32_t high) { return std::max(low, std::min(value, high)); }

}  // namespace

template <class F>
bool PeerStream::callOwner(F&& call) {
  const Liveness::Watch watch = liveness.watch();
  std::string failure;
  try {
    call();
    return watch.alive();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
  }
  // The owner may have ended the stream before it threw: then nothing of it is touched.
  return watch.alive() && ownerFailed(failure);
}

// One connection's fault ends that connection, not the loop that carries every other one.
bool PeerStream::ownerFailed(const std::string& what) {
  // An empty reason would read as an orderly end.
  const std::string reason = what.empty() ? "unknown exception" : what;
  UV_LOG("WARN") << "PeerStream: channel " << channelId << " closed, its owner failed: " << reason;
  return closeNow(reason);
}

PeerStream::PeerStream(UdpRouter* router, Cb* cb)
    : router(router),
      loop(router->getLoop()),
      timer(new UvTimer(router->getLoop())),
      cb(cb),
      recvOutOfOrder(static_cast<size_t>(maxRecvPool), nullptr) {
  lastAckSendTime = ackRecvTime = now();
  router->addListener(this);
  timer->start(TimerPeriod, TimerPeriod, this);
}

PeerStream::~PeerStream() {
  router->removeListener(this);
  timer.reset();
  for (Data* packet : recvPool) freePacket(packet);
  for (Data* packet : recvOutOfOrder) freePacket(packet);
  for (Data* packet : sendPool) freePacket(packet);
  for (Data* packet : sendWait) freePacket(packet);
  for (Data* packet : sendSent) freePacket(packet);
}

uint64_t PeerStream::now() const { return loop->now(); }

void PeerStream::transmit(Message& m) { router->send(&m, peerAddr); }

// ---- opening and accepting ----

void PeerStream::connect(const SocketAddress& addr) {
  if (state != Created) throw std::runtime_error(Utils::format("Illegal state in connect: %d", state));
  UV_LOG("2") << "connect " << addr;
  peerAddr = addr;
  relay = UdpRouter::RelayRef(router, addr.getProxy());
  payloadLength = addr.hasProxy() ? RelayedPayloadLength : PayloadLength;
  std::string p;
  std::string g;
  std::string pk;
  if (encrypt) {
    keyExchange.reset(new DHKeyExchange());
    keyExchange->setPG();
    pk = base64_encode(keyExchange->genPublicKey());
    keyExchange->getPG(p, g);
  }
  channelId = Utils::randomInt();
  Connect message(channelId, maxRecvPool, MyProtocol, p, g, pk);
  transmit(message);
  connectTime = now();
  state = Connecting;
}

bool PeerStream::accept(const Connect* msg, const SocketAddress& from) {
  if (state != Created) throw std::runtime_error(Utils::format("Illegal state in accept: %d", state));
  if (msg->protocol != MyProtocol || msg->channelId == 0) {
    UV_LOG("WARN") << "PeerStream: connect refused from " << from << ": protocol " << msg->protocol << " channel "
                   << msg->channelId;
    return false;
  }
  UV_LOG("2") << "accept " << from;
  peerAddr = from;
  relay = UdpRouter::RelayRef(router, from.getProxy());
  payloadLength = from.hasProxy() ? RelayedPayloadLength : PayloadLength;
  channelId = msg->channelId;
  maxSendPool = clampTo(msg->sendPoolSize, MinPeerPoolSize, MaxPeerPoolSize);
  ConnectAck answer(channelId, maxRecvPool, MyProtocol, std::string());
  std::string failure;
  if (!msg->p.empty() && !msg->g.empty() && !msg->pk.empty()) {
    keyExchange.reset(new DHKeyExchange());
    std::string p;
    std::string g;
    try {
      keyExchange->setPG(msg->p, msg->g);
      keyExchange->getPG(p, g);  // the same group always reads the same here
    } catch (const std::exception& e) {
      failure = std::string("PG error ") + e.what();
    }
    if (failure.empty()) failure = router->groupGate().admit(p, g, [this] { return keyExchange->check(); });
    if (failure.empty()) {
      try {
        const std::string own = keyExchange->genPublicKey();
        setCiphers(keyExchange->genKey(base64_decode(msg->pk)), IV2, IV1);
        answer.pk = base64_encode(own);
      } catch (const std::exception& e) {
        failure = std::string("error generating key ") + e.what();
      }
    }
  }
  if (!failure.empty()) {
    // Only the Close goes out, so the opening side reports this reason and not a bare "Empty pk".
    UV_LOG("WARN") << "PeerStream: " << failure;
    state = Connected;
    closeNow(failure);
    return true;
  }
  transmit(answer);
  enterConnected();
  return true;
}

void PeerStream::enterConnected() {
  state = Connected;
  lastAckSendTime = ackRecvTime = now();
  congestionControl.onConnected(maxSendPool);
}

void PeerStream::setCiphers(const std::string& secret, const uint8_t* writeIv, const uint8_t* readIv) {
  if (secret.size() < static_cast<size_t>(kKeyLength)) throw std::runtime_error("shared secret too short");
  const auto* key = reinterpret_cast<const uint8_t*>(secret.data());
  std::unique_ptr<KeystreamAhead> writer(new KeystreamAhead(key, writeIv, keystreamLimits));
  std::unique_ptr<KeystreamAhead> reader(new KeystreamAhead(key, readIv, keystreamLimits));
  writeCypher = std::move(writer);
  readCypher = std::move(reader);
}

bool PeerStream::handleConnectAck(const ConnectAck& ack) {
  maxSendPool = clampTo(ack.sendPoolSize, MinPeerPoolSize, MaxPeerPoolSize);
  if (ack.protocol != MyProtocol) return closeNow(Utils::format("Illegal protocol: %d", ack.protocol));
  if (!ack.pk.empty() && !keyExchange) return closeNow("Not empty pk when key exchange is null");
  if (ack.pk.empty() && keyExchange) return closeNow("Empty pk");
  if (!ack.pk.empty()) {
    try {
      setCiphers(keyExchange->genKey(base64_decode(ack.pk)), IV1, IV2);
    } catch (const std::exception& e) {
      return closeNow(std::string("error generating key ") + e.what());
    }
  }
  enterConnected();
  return callOwner([this] { cb->handle_connect(); });
}

// ---- sending ----

Data* PeerStream::newPacket() {
  auto* packet = new Data(channelId, 0, nullptr);
  packet->dataBuffer = new ByteBuffer(PayloadLength);
  return packet;
}

void PeerStream::freePacket(Data* packet) {
  if (!packet) return;
  delete packet->dataBuffer;
  delete packet;
}

void PeerStream::send(ByteBuffer* b) {
  if (state != Connected) return;
  while (b->hasRemaining()) {
    if (sendWait.size() + sendSent.size() >= static_cast<size_t>(maxSendPool)) break;
    if (nextSeq == INT32_MAX) {
      closeNow("sequence space exhausted");
      return;
    }
    Data* packet;
    if (sendPool.empty()) {
      packet = newPacket();
    } else {
      packet = sendPool.back();
      sendPool.pop_back();
    }
    packet->sequence = ++nextSeq;
    ByteBuffer* buffer = packet->dataBuffer;
    const int32_t n = std::min(b->remaining(), payloadLength);
    auto* to = reinterpret_cast<uint8_t*>(buffer->array());
    const auto* from = reinterpret_cast<const uint8_t*>(b->array());
    if (writeCypher) {
      writeCypher->encrypt(to, 0, n, from, b->position());
    } else {
      std::memcpy(to, from + b->position(), static_cast<size_t>(n));
    }
    b->position(b->position() + n);
    buffer->limit(n);
    buffer->position(0);
    sendWait.push_back(packet);
  }
  sendData();
}

void PeerStream::sendPacket(Data* packet) {
  packet->dataBuffer->position(0);  // a resend starts over; encoding advances the position
  packet->sendTime = now();
  transmit(*packet);
}

void PeerStream::sendData() {
  const UdpRouter::Burst burst(router);
  const uint64_t t = now();
  int32_t resends = congestionControl.takeResends();
  for (auto packet = sendSent.begin(); resends > 0 && packet != sendSent.end(); ++packet, --resends) {
    if (!congestionControl.worthResending((*packet)->sendTime, t)) continue;
    sendLog("resending", (*packet)->sequence);
    sendPacket(*packet);
  }
  const double budget = congestionControl.budget(static_cast<int32_t>(sendSent.size()), ackOutOfOrder);
  for (int sent = 0; sent < budget && !sendWait.empty(); ++sent) {
    Data* packet = sendWait.front();
    sendWait.pop_front();
    sendPacket(packet);
    sendSent.push_back(packet);
    highestSent = packet->sequence;
  }
}

// ---- acknowledgements received ----

void PeerStream::processAck(const DataAck2& ack) {
  const int32_t a = ack.sequence;
  if (a > highestSent) {
    sendLog("ack beyond sent", a);
    return;
  }
  if (a < ackRecv) {
    sendLog("old ack", a);
    if (sendSent.empty()) ackRecvTime = now();
    return;
  }
  const uint64_t t = now();
  ackRecvTime = t;
  sampleRoundTrip(a);
  // Read before the window decides: a duplicate that reports every packet in flight as held
  // comes from a slow consumer or an idle peer, not from a loss. No more can be held than we
  // may have in flight.
  ackOutOfOrder = clampTo(ack.numOutOfOrder, 0, maxSendPool);
  if (a == ackRecv) {
    const int64_t missing = static_cast<int64_t>(ack.nextSequence) - a;
    if (congestionControl.onDuplicateAck(flight(), missing, maxSendPool)) sendLog("resend ack duplicate", a);
    return;
  }
  congestionControl.onAck(ackRecv, a, maxSendPool);
  if (state == Closing) closeTime = t;
  ackRecv = a;
  while (!sendSent.empty() && sendSent.front()->sequence <= a) {
    sendPool.push_back(sendSent.front());
    sendSent.pop_front();
  }
}

CongestionControl::Flight PeerStream::flight() const {
  const int32_t oldest = sendSent.empty() ? 0 : sendSent.front()->sequence;
  return {static_cast<int32_t>(sendSent.size()), ackOutOfOrder, oldest};
}

// The round trip of the packet the acknowledgement names. An acknowledgement covers several
// packets, so that packet is not always the oldest in flight; the ones before it waited for
// the acknowledgement and would overstate the round trip.
void PeerStream::sampleRoundTrip(int32_t acknowledged) {
  if (sendSent.empty() || acknowledged < sendSent.front()->sequence) return;
  const auto index = static_cast<size_t>(acknowledged - sendSent.front()->sequence);
  if (index >= sendSent.size()) return;
  congestionControl.sampleRoundTrip(sendSent[index]->sendTime, now());
}

// The oldest packet in flight waited too long. A resend already due covers it.
void PeerStream::resendOnTimeout() {
  if (!congestionControl.resendsDue()) {
    sendLog("resend ack timeout", 0);
    congestionControl.onTimeout(flight());
  }
  sendData();
}

// ---- receiving ----

bool PeerStream::handleData(const Data& data) {
  // Before the answer to connect the keys are unknown; the peer sends again.
  if (state != Connected && state != Closing) return true;
  const ByteBuffer* payload = data.dataBuffer;
  const int32_t length = payload ? payload->remaining() : 0;
  if (length <= 0 || length > PayloadLength) {
    recvLog("bad payload length", data.sequence);
    return true;
  }
  // With nothing of ours in flight, the peer acknowledges nothing but sends an idle
  // acknowledgement each second; its data shows just as well that it is alive, and a
  // one-way stream must not die when three of those acknowledgements are lost.
  if (sendSent.empty()) ackRecvTime = now();
  const bool inOrder = processData(data.sequence, *payload);
  bool advanced = false;
  if (!deliver(advanced)) return false;
  if (state == Closed) return true;
  if (!inOrder) {
    sendAck();  // the sender learns of a loss from repeated acknowledgements: those go at once
  } else if (seqRecv - seqAcknowledged >= ackEvery) {
    sendAck();
  } else if (seqRecv != seqAcknowledged) {
    holdAck();
  } else {
    // In order, but the owner has not read it yet. Repeating the last acknowledgement at once,
    // packet after packet, would read as a loss to the sender: the tick tells it what is held.
    ackHeld = true;
  }
  return true;
}

// Keeps the packet for delivery. True when it continues what has arrived without a gap and
// nothing is held past a gap; false for a duplicate, one beyond the pool, one past a gap or one
// that fills a gap (the sender waits to hear of those).
bool PeerStream::processData(int32_t sequence, const ByteBuffer& payload) {
  const int64_t ahead = static_cast<int64_t>(sequence) - seqRecv;
  if (ahead <= 0) {
    recvLog("duplicate data", sequence);
    return false;
  }
  if (ahead > holdLimit) {
    recvLog("data beyond the receive pool", sequence);
    return false;
  }
  Data*& slot = recvOutOfOrder[static_cast<size_t>(sequence % maxRecvPool)];
  if (slot) {
    recvLog("duplicate data", sequence);
    return false;
  }
  const bool heldPastGap = recvHeld > seqContiguous - seqRecv;
  const bool next = static_cast<int64_t>(sequence) == static_cast<int64_t>(seqContiguous) + 1;
  Data* packet;
  if (recvPool.empty()) {
    packet = newPacket();
  } else {
    packet = recvPool.back();
    recvPool.pop_back();
  }
  packet->channelId = channelId;
  packet->sequence = sequence;
  packet->decrypted = false;
  ByteBuffer* buffer = packet->dataBuffer;
  const int32_t length = payload.remaining();
  auto* to = reinterpret_cast<uint8_t*>(buffer->array());
  const auto* from = reinterpret_cast<const uint8_t*>(payload.array() + payload.position());
  // One pass over the bytes instead of two when the keystream stands right before them.
  if (readCypher && static_cast<int64_t>(sequence) == static_cast<int64_t>(seqDeciphered) + 1) {
    readCypher->encrypt(to, 0, length, from, 0);
    packet->decrypted = true;
    seqDeciphered = sequence;
  } else {
    std::memcpy(to, from, static_cast<size_t>(length));
  }
  buffer->limit(length);
  buffer->position(0);
  slot = packet;
  ++recvHeld;
  while (seqContiguous - seqRecv < recvHeld &&
         recvOutOfOrder[static_cast<size_t>((static_cast<int64_t>(seqContiguous) + 1) % maxRecvPool)])
    ++seqContiguous;
  return next && !heldPastGap;
}

bool PeerStream::deliver(bool& advanced) {
  while (recvHeld > 0) {
    const int64_t next = static_cast<int64_t>(seqRecv) + 1;
    Data*& slot = recvOutOfOrder[static_cast<size_t>(next % maxRecvPool)];
    Data* packet = slot;
    if (!packet) break;
    ByteBuffer* buffer = packet->dataBuffer;
    if (readCypher && !packet->decrypted) {
      auto* bytes = reinterpret_cast<uint8_t*>(buffer->array());
      readCypher->encrypt(bytes, 0, buffer->limit(), bytes, 0);
      packet->decrypted = true;
      seqDeciphered = packet->sequence;
    }
    if (!callOwner([this, buffer] { cb->handle_recv(buffer); })) return false;
    if (state == Closed || buffer->hasRemaining()) break;
    slot = nullptr;
    --recvHeld;
    recvPool.push_back(packet);
    ++seqRecv;
    advanced = true;
  }
  return true;
}

// Due at the end of the read that brought the data, which covers the rest of a burst; a packet
// handed in outside any read is answered at once.
void PeerStream::holdAck() {
  ackHeld = true;
  if (atReadEnd) return;
  atReadEnd = router->callAtReadEnd(this);
  if (!atReadEnd) sendAck();
}

void PeerStream::handleReadEnd() {
  atReadEnd = false;
  if (ackHeld && (state == Connected || state == Closing)) sendAck();
}

void PeerStream::sendAck() {
  ackHeld = false;
  seqAcknowledged = seqRecv;
  ackMessage.channelId = channelId;
  ackMessage.sequence = seqRecv;
  ackMessage.nextSequence = seqRecv;
  ackMessage.numOutOfOrder = recvHeld;
  transmit(ackMessage);
  lastAckSendTime = now();
}

// ---- the router and the timer ----

bool PeerStream::handleRouter(Message* m, const SocketAddress& from) {
  // A stream without a channel yet must not claim the channel-less messages of other processes.
  if (state == Created || state == Closed || m->getChannelId() != channelId) return false;
  // The channel id travels in clear: only the peer may ack, send or close (a relay names the
  // sender it forwards for), or a forged acknowledgement would drop packets that never arrived.
  if (!from.sameEndpoint(peerAddr)) {
    UV_LOG("1") << "PeerStream: channel " << channelId << " message from " << from << " ignored";
    return true;
  }
  UV_LOG("2") << "PeerStream " << *m;
  switch (m->getOpcode()) {
    case Message::connectAck:
      if (state == Connecting) handleConnectAck(*static_cast<ConnectAck*>(m));
      break;
    case Message::data:
      handleData(*static_cast<Data*>(m));
      break;
    case Message::dataAck2:
      if (state != Connected && state != Closing) break;
      processAck(*static_cast<DataAck2*>(m));
      if (state == Connected && !sendPool.empty() && !callOwner([this] { cb->handle_send(); })) break;
      if (state == Connected || state == Closing) sendData();
      break;
    case Message::close:
      // The peer's words end up in our log and on the user's screen: no control characters.
      closeNow(Utils::printable(static_cast<Close*>(m)->reason, MaxReasonLength));
      break;
    case Message::connect:
      break;  // a repeated opening datagram
    default:
      closeNow(Utils::format("Illegal message: %d", m->getOpcode()));
      break;
  }
  return true;
}

void PeerStream::handleTimer() {
  const uint64_t t = now();
  if (state == Connecting) {
    if (t > connectTime + ConnectTimeout) closeNow("connect timeout");
    return;
  }
  if (state != Connected && state != Closing) return;
  if (t > ackRecvTime + AckTimeout) {
    closeNow("ack timeout");
    return;
  }
  const UdpRouter::Burst burst(router);
  if (ackHeld || t > lastAckSendTime + IdleAckPeriod) sendAck();
  if (!sendSent.empty() && congestionControl.timedOut(sendSent.front()->sendTime, t)) resendOnTimeout();
  if (state == Connected) {
    deliverAndAck();
    return;
  }
  if (sendWait.empty() && sendSent.empty() && recvHeld == 0) {
    closeNow(closeReason);
  } else if (t > closeTime + CloseTimeout) {
    closeNow("close timeout");
  }
}

// Offers what is held to the owner and acknowledges what it read.
void PeerStream::deliverAndAck() {
  bool advanced = false;
  if (!deliver(advanced)) return;  // the owner ended the stream
  if (advanced && state != Closed) sendAck();
}

void PeerStream::holdAtMost(int32_t packets) { holdLimit = clampTo(packets, 1, maxRecvPool); }

// One offer waits at a time: asking again before it runs changes nothing.
void PeerStream::offerAgain() {
  if (recvHeld == 0 || (state != Connected && state != Closing) || redeliveryDue) return;
  redeliveryDue = true;
  loop->post([this, watch = liveness.watch()] {
    if (!watch.alive()) return;
    redeliveryDue = false;
    if (state != Connected && state != Closing) return;
    const UdpRouter::Burst burst(router);
    deliverAndAck();
  });
}

// ---- closing ----

void PeerStream::close(bool immediately, const std::string& reason) {
  if (state == Closed) return;
  if (closeReason.empty()) closeReason = reason;
  const bool drained = sendWait.empty() && sendSent.empty() && recvHeld == 0;
  if (immediately || drained) {
    // Cutting a stream short is no orderly end, for either side.
    closeNow(drained || !closeReason.empty() ? closeReason : "closed with data undelivered");
    return;
  }
  if (state == Closing) return;
  state = Closing;
  closeTime = this->now();
}

bool PeerStream::closeNow(const std::string& reason) {
  if (state == Closed) return true;
  // A copy: the reason may be this stream's own, and the owner may delete the stream.
  const std::string told = reason;
  if (peerAddr.isValid() && channelId != 0) {
    Close message(channelId);
    message.reason = told.substr(0, MaxReasonLength);
    transmit(message);
  }
  state = Closed;
  timer->stop();
  // Nothing is enciphered or deciphered any more: no keystream is made ahead for nothing.
  if (readCypher) readCypher->stopAhead();
  if (writeCypher) writeCypher->stopAhead();
  return callOwner([this, &told] { cb->handle_close(told); });
}

// ---- log ----

void PeerStream::sendLog(const char* text, int32_t sequence) const {
  UV_LOG("2") << text << " id=" << channelId << " ackRecv=" << ackRecv << " ackOOO=" << ackOutOfOrder
              << " latency=" << congestionControl.roundTrip()
              << " window=" << congestionControl.window() << " pool=" << sendPool.size()
              << " wait=" << sendWait.size() << " sent=" << sendSent.size() << " next=" << nextSeq
              << " seq=" << sequence;
}

void PeerStream::recvLog(const char* text, int32_t sequence) const {
  UV_LOG("2") << text << " id=" << channelId << " seqRecv=" << seqRecv << " pool=" << recvPool.size()
              << " ooo=" << recvHeld << " seq=" << sequence;
}

}  // namespace p2p
