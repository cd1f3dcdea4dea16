// Two stream ends joined by a simulated link on a manual clock: datagrams are really encoded
// and go through the routers' receive path, but wait in the link, which can lose, duplicate,
// reorder or rewrite them reproducibly. Every owner deletes its stream from handle_close.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "p2p/processes/PeerStream.h"

namespace streamlink {

using namespace p2p;

using Reason = std::optional<std::string>;

inline std::string bytesOf(Message& m, int32_t room = UdpRouter::MTU_LENGTH) {
  ByteBuffer buffer(room);
  m.encode(buffer);
  return std::string(reinterpret_cast<char*>(buffer.array()), static_cast<size_t>(buffer.position()));
}

// Sends `out`; reads at most readLimit bytes a call and stops reading at stopAfter bytes.
struct Owner : PeerStream::Cb {
  std::unique_ptr<PeerStream> stream;
  std::string out, in;
  size_t queued = 0, readLimit = SIZE_MAX, stopAfter = SIZE_MAX;
  bool connected = false;
  Reason closed;
  int closes = 0;
  std::function<void(Owner&)> onConnect = [](Owner&) {}, onRecv = [](Owner&) {}, onSend = [](Owner&) {};
  void pump() {
    ByteBuffer view(reinterpret_cast<int8_t*>(&out[0]) + queued, static_cast<int32_t>(out.size() - queued));
    if (stream) stream->send(&view);
    queued += static_cast<size_t>(view.position());
  }
  void handle_connect() override { connected = true, pump(), onConnect(*this); }
  void handle_send() override { pump(), onSend(*this); }
  void handle_recv(ByteBuffer* b) override {
    onRecv(*this);
    const size_t room = in.size() < stopAfter ? std::min(readLimit, stopAfter - in.size()) : 0;
    const int32_t n = static_cast<int32_t>(std::min<size_t>(room, static_cast<size_t>(b->remaining())));
    in.append(reinterpret_cast<char*>(b->array() + b->position()), static_cast<size_t>(n));
    b->position(b->position() + n);
  }
  void handle_close(const std::string& reason) override { closed = reason, ++closes, stream.reset(); }
};

struct Link;

// Its datagrams go into the link instead of the socket. `ackEvery` is the receiver's rule.
struct LinkedStream : PeerStream {
  LinkedStream(Link& link, bool atA, UdpRouter* router, Owner& owner, int32_t ackEvery = PeerStream::AckEvery);
  void transmit(Message& m) override;
  Link& link;
  bool atA;
};

struct Link : UdpRouter::Cb {
  uint64_t clock = 1000;
  UvLoop loop{[this] { return clock; }};
  UdpRouter routerA{&loop}, routerB{&loop};  // A opens, B accepts
  SocketAddress addrA{"127.0.0.1", routerA.getUdp()->getPort()}, addrB{"127.0.0.1", routerB.getUdp()->getPort()};
  Owner a, b;
  std::mt19937 random{1};
  double loss = 0, duplicate = 0, reorder = 0;  // of data and acknowledgements
  bool relayed = false;
  bool batched = false;     // what arrives in the same millisecond is one read, as from the socket
  double dataPerMs = 0;     // A's data goes through a bottleneck of this rate (0: none)
  double bottleneckFree = 0;
  std::function<void()> onTick = [] {};  // every 10 ms, beside the streams' timers
  std::function<bool(Message&, bool fromA)> tap = [](Message&, bool) { return true; };  // false drops
  std::multimap<uint64_t, std::pair<UdpRouter*, std::string>> flying;                   // by time of arrival
  std::vector<std::pair<int32_t, int32_t>> dataSent;                                    // sequence and payload length
  DataAck2 lastAckFromB;
  std::string firstPayload;  // as A put it on the wire
  KeystreamAhead::Limits keystreamA, keystreamB;  // how each end makes its keystream ahead

  Link() { routerB.addListener(this); }  // the acceptor, ahead of every stream
  ~Link() override { routerB.removeListener(this); }
  bool handleRouter(Message* m, const SocketAddress& from) override {
    if (m->getOpcode() != Message::connect || b.stream) return false;
    b.stream.reset(new LinkedStream(*this, false, &routerB, b));
    SocketAddress peer = from;
    if (relayed) peer.setProxy(addrB.getSockaddr());
    if (!b.stream->accept(static_cast<Connect*>(m), peer)) b.stream.reset();
    return true;
  }
  void open() {
    a.stream.reset(new LinkedStream(*this, true, &routerA, a));
    SocketAddress peer = addrB;
    if (relayed) peer.setProxy(addrA.getSockaddr());
    a.stream->connect(peer);
  }
  void carry(Message& original, bool fromA) {
    std::string bytes = bytesOf(original);
    ByteBuffer view(reinterpret_cast<int8_t*>(&bytes[0]), static_cast<int32_t>(bytes.size()));
    std::unique_ptr<Message> m(Message::decodeMessage(view));
    if (!tap(*m, fromA)) return;
    if (auto* data = dynamic_cast<Data*>(m.get())) {
      dataSent.emplace_back(data->sequence, data->dataBuffer->remaining());
      if (fromA && data->sequence == 1) firstPayload = bytes.substr(static_cast<size_t>(data->dataBuffer->position()));
    }
    if (auto* ack = dynamic_cast<DataAck2*>(m.get()); ack && !fromA) lastAckFromB = *ack;
    bytes = bytesOf(*m);
    std::uniform_real_distribution<double> share(0, 1);
    const bool harmed = m->getOpcode() == Message::data || m->getOpcode() == Message::dataAck2;
    if (harmed && share(random) < loss) return;
    uint64_t at = clock;
    if (fromA && dataPerMs > 0 && m->getOpcode() == Message::data) {
      bottleneckFree = std::max(bottleneckFree, static_cast<double>(clock)) + 1 / dataPerMs;
      at = static_cast<uint64_t>(std::ceil(bottleneckFree));
    }
    for (int copies = harmed && share(random) < duplicate ? 2 : 1; copies > 0; --copies) {
      flying.emplace(at + 5 + (share(random) < reorder ? random() % 20 : 0),
                     std::make_pair(fromA ? &routerB : &routerA, bytes));
    }
  }
  // Delivers at once, as if from the other end.
  void inject(Message& m, bool toA) {
    std::string bytes = bytesOf(m, UvUdp::BUFFER_SIZE);
    (toA ? routerA : routerB)
        .handleRecv(reinterpret_cast<int8_t*>(&bytes[0]), static_cast<int>(bytes.size()),
                    (toA ? addrB : addrA).getSockaddr());
  }
  // Data of channel 77 (opened by hand) to B, at once.
  void injectData(int32_t sequence, std::string payload = "p") {
    ByteBuffer buffer(reinterpret_cast<int8_t*>(&payload[0]), static_cast<int32_t>(payload.size()));
    Data m(77, sequence, &buffer);
    inject(m, false);
  }
  // 1 ms steps: delivers what is due, ticks both ends every 10 ms.
  void run(
      uint64_t ms, const std::function<bool()>& until = [] { return false; }) {
    for (uint64_t end = clock + ms; clock < end && !until();) {
      ++clock;
      if (batched) routerA.handleReadBegin(), routerB.handleReadBegin();
      for (; !flying.empty() && flying.begin()->first <= clock; flying.erase(flying.begin())) {
        auto& [to, bytes] = flying.begin()->second;
        to->handleRecv(reinterpret_cast<int8_t*>(&bytes[0]), static_cast<int>(bytes.size()),
                       (to == &routerB ? addrA : addrB).getSockaddr());
      }
      if (batched) routerB.handleReadEnd(), routerA.handleReadEnd();
      for (Owner* end : {&a, &b}) {
        if (end->stream && clock % PeerStream::TimerPeriod == 0) end->stream->handleTimer();
      }
      if (clock % PeerStream::TimerPeriod == 0) onTick();
    }
  }
  LinkedStream& A() { return static_cast<LinkedStream&>(*a.stream); }
  // A opens with `out` to send, hears that the peer's pool is `peerPool` and takes only the
  // acknowledgements that ackA hands it.
  LinkedStream& openForHandAcks(std::string out, int32_t peerPool = PeerStream::RecvPoolSize) {
    tap = [this, peerPool](Message& m, bool fromA) {
      if (m.getOpcode() == Message::connectAck) static_cast<ConnectAck&>(m).sendPoolSize = peerPool;
      return onlyA(m, fromA);
    };
    a.out = std::move(out);
    open();
    run(12);
    return A();
  }
  void ackA(int32_t sequence, int32_t outOfOrder) {
    DataAck2 m;
    m.channelId = A().getChannelId(), m.sequence = m.nextSequence = sequence, m.numOutOfOrder = outOfOrder;
    inject(m, true);
  }
  int timesSent(int32_t sequence) const {
    return static_cast<int>(
        std::count_if(dataSent.begin(), dataSent.end(), [&](auto& s) { return s.first == sequence; }));
  }
  bool onlyA(Message& m, bool fromA) { return fromA || m.getOpcode() != Message::dataAck2; }
};

inline LinkedStream::LinkedStream(Link& link, bool atA, UdpRouter* router, Owner& owner, int32_t ackEvery)
    : PeerStream(router, &owner), link(link), atA(atA) {
  keystreamLimits = atA ? link.keystreamA : link.keystreamB;
  this->ackEvery = ackEvery;
}

inline void LinkedStream::transmit(Message& m) { link.carry(m, atA); }

inline std::string pattern(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

}  // namespace streamlink
