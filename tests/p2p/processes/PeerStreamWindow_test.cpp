// The sender's window, its resends and its time-out, seen on the wire of a simulated link.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>

#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/processes/PeerStreamLink.h"

using namespace p2p;
using namespace streamlink;

namespace {

int32_t highestSent(const Link& link) {
  int32_t highest = 0;
  for (const auto& sent : link.dataSent) highest = std::max(highest, sent.first);
  return highest;
}

// A sender built to the original rules to the letter: unencrypted, no slow start, one
// acknowledgement per packet expected (each new one grows the window by 1 / window), three
// duplicates or a retransmission time-out of twice the round trip, with no floor, cut it.
struct LetterSender : UdpRouter::Cb {
  static constexpr int32_t Channel = 4242;
  Link& link;
  const int32_t total;  // packets to send
  int32_t maxSendPool = PeerStream::DefaultPoolSize;
  double window = PeerStream::InitialWindow, latency = 100;
  int32_t ackRecv = 0, ackOutOfOrder = 0, duplicates = 0, resendCount = 0, nextSeq = 0;
  std::deque<std::pair<int32_t, uint64_t>> sent;  // sequence and last send time
  int timeouts = 0, cuts = 0;
  uint64_t doneAt = 0;
  std::string payload = std::string(PeerStream::PayloadLength, 'p');

  LetterSender(Link& link, int32_t total) : link(link), total(total) {
    link.routerA.addListener(this);
    link.onTick = [this] { tick(); };
  }
  ~LetterSender() override { link.routerA.removeListener(this); }
  void open() {
    Connect connect(Channel, PeerStream::DefaultPoolSize, PeerStream::MyProtocol, "", "", "");
    link.carry(connect, true);
  }
  void transmit(int32_t sequence) {
    ByteBuffer buffer(reinterpret_cast<int8_t*>(&payload[0]), static_cast<int32_t>(payload.size()));
    Data data(Channel, sequence, &buffer);
    link.carry(data, true);
  }
  bool handleRouter(Message* m, const SocketAddress&) override {
    if (m->getChannelId() != Channel) return false;
    if (m->getOpcode() == Message::connectAck) maxSendPool = static_cast<ConnectAck*>(m)->sendPoolSize;
    if (m->getOpcode() == Message::dataAck2) processAck(*static_cast<DataAck2*>(m));
    sendData();
    return true;
  }
  void processAck(const DataAck2& ack) {
    const int32_t a = ack.sequence;
    if (a < ackRecv) return;
    if (!sent.empty() && sent.front().first == a)
      latency = 0.9 * latency + 0.1 * static_cast<double>(link.clock - sent.front().second);
    updateWindow(ackRecv, a, ack.nextSequence);
    ackRecv = a, ackOutOfOrder = ack.numOutOfOrder;
    while (!sent.empty() && sent.front().first <= a) sent.pop_front();
    if (a == total && !doneAt) doneAt = link.clock;
  }
  void cut() { window = std::max(PeerStream::InitialWindow, 2 * window / 3), ++cuts; }
  void updateWindow(int32_t previous, int32_t a, int32_t next) {
    if (previous == -1) {
      if (resendCount == 0) ++timeouts, cut(), duplicates = 0, resendCount = std::max(next - a, 1);
    } else if (a == previous) {
      if (resendCount == 0 && ++duplicates > 2) cut(), resendCount = std::max(next - a, 1), duplicates = 0;
    } else {
      window += 1 / window, duplicates = 0;
    }
  }
  void sendData() {
    for (auto& [sequence, time] : sent) {
      if (resendCount < 1) break;
      --resendCount;
      if (static_cast<double>(link.clock - time) >= latency / 10) time = link.clock, transmit(sequence);
    }
    resendCount = 0;
    const double budget = window + ackOutOfOrder - static_cast<double>(sent.size());
    for (int n = 0; n < budget && nextSeq < total && static_cast<int32_t>(sent.size()) < maxSendPool; ++n) {
      sent.emplace_back(++nextSeq, link.clock);
      transmit(nextSeq);
    }
  }
  void tick() {
    const uint64_t timeout = static_cast<uint64_t>(std::min(2 * static_cast<int>(latency), 800));
    if (!sent.empty() && link.clock > sent.front().second + timeout) updateWindow(-1, 0, 0), sendData();
  }
};

}  // namespace

TEST(PeerStream, TheWindowGrowsByThePacketsAcknowledgedAndShrinksOncePerLoss) {
  Link link;
  const LinkedStream& a = link.openForHandAcks(pattern(200 * PeerStream::PayloadLength, 9));
  const CongestionControl& congestion = a.congestion();
  const auto ack = [&](int32_t sequence, int32_t outOfOrder = 0) { link.ackA(sequence, outOfOrder); };
  EXPECT_EQ(congestion.window(), 2.0);
  ack(2);  // slow start: one for each packet
  EXPECT_EQ(congestion.window(), 4.0);
  ack(1000);  // beyond what was sent
  EXPECT_EQ(congestion.window(), 4.0);
  ack(2, 3);  // 3 to 6 fly; what the peer holds lets 7 to 9 go too
  ack(9);     // seven packets, but a window's worth counts
  EXPECT_EQ(congestion.window(), 8.0);

  link.run(20);                           // a resend waits a tenth of the round trip after the last sending
  for (int i = 0; i < 6; ++i) ack(9, 1);  // three duplicates cut once; the next three do not again
  EXPECT_NEAR(congestion.window(), 8.0 * 2 / 3, 1e-9);
  EXPECT_FALSE(congestion.inSlowStart());
  EXPECT_EQ(link.timesSent(10), 2);
  double before = congestion.window();
  ack(10);  // congestion avoidance: n / window
  EXPECT_NEAR(congestion.window(), before + 1 / before, 1e-9);
  before = congestion.window();
  ack(13);
  EXPECT_NEAR(congestion.window(), before + 3 / before, 1e-9);
  before = congestion.window();
  ack(20);  // seven packets, but a window's worth counts
  EXPECT_NEAR(congestion.window(), before + 1, 1e-9);
  before = congestion.window();
  link.run(20);
  for (int i = 0; i < 3; ++i) ack(20, PeerStream::DefaultPoolSize);  // the peer holds all in flight: no loss
  EXPECT_EQ(congestion.window(), before);
  for (int i = 0; i < 3; ++i) ack(20, 1);  // a new loss cuts again
  EXPECT_NEAR(congestion.window(), before * 2 / 3, 1e-9);

  // Never above the peer's pool; a negative count held is taken as 0, so it does not stop the sender.
  Link small;
  const LinkedStream& capped = small.openForHandAcks(pattern(200 * PeerStream::PayloadLength, 9), 8);
  small.ackA(1, 0), small.ackA(3, 0);  // slow start: 2, 3, 5
  const size_t sentBefore = small.dataSent.size();
  small.ackA(8, -1000000);
  EXPECT_EQ(capped.congestion().window(), 8.0);
  EXPECT_GT(small.dataSent.size(), sentBefore);

  // Retransmission time-out: twice the round trip, within 20..800 ms; it restarts slow start.
  for (const auto& [roundTrip, timeout] : {std::pair<uint64_t, uint64_t>{100, 200}, {500, 800}, {1, 20}}) {
    SCOPED_TRACE(roundTrip);
    Link quiet;
    const LinkedStream& stream = quiet.openForHandAcks(pattern(2000 * PeerStream::PayloadLength, 9), 8);
    int32_t acknowledged = 0;  // each acknowledgement a round trip after the packet it names
    for (int i = 0; i < 30; ++i) quiet.run(roundTrip), quiet.ackA(acknowledged = highestSent(quiet), 0);
    ASSERT_FALSE(stream.congestion().inSlowStart());
    const uint64_t sent = quiet.clock;
    quiet.run(2000, [&] { return quiet.timesSent(acknowledged + 1) == 2; });
    EXPECT_GT(quiet.clock - sent, timeout);
    EXPECT_LE(quiet.clock - sent, timeout + PeerStream::TimerPeriod);
    EXPECT_EQ(stream.congestion().window(), 2.0);
    EXPECT_TRUE(stream.congestion().inSlowStart());
  }
  for (const auto& [advertised, taken] : {std::pair<int32_t, int32_t>{1, 2}, {1 << 30, 1000}}) {
    Link pool;
    EXPECT_EQ(pool.openForHandAcks("", advertised).peerPool(), taken);
  }
}

TEST(PeerStream, ASenderToTheOriginalRulesKeepsItsThroughputAgainstFewerAcknowledgements) {
  // 5 ms each way through a bottleneck of 5 packets a millisecond; reads as from the socket.
  const int32_t packets = 20000;
  const auto transfer = [&](int32_t ackEvery, int& timeouts, int& cuts) {
    Link link;
    link.batched = true, link.dataPerMs = 5;
    link.routerB.removeListener(&link);  // accepted below, to set the receiver's rule first
    struct Acceptor : UdpRouter::Cb {
      Link& link;
      int32_t ackEvery;
      Acceptor(Link& link, int32_t ackEvery) : link(link), ackEvery(ackEvery) {}
      bool handleRouter(Message* m, const SocketAddress& from) override {
        if (m->getOpcode() != Message::connect || link.b.stream) return false;
        auto* stream = new LinkedStream(link, false, &link.routerB, link.b, ackEvery);
        link.b.stream.reset(stream);
        return stream->accept(static_cast<Connect*>(m), from);
      }
    } acceptor(link, ackEvery);
    link.routerB.addListener(&acceptor);
    LetterSender sender(link, packets);
    sender.open();
    link.run(60000, [&] { return sender.doneAt != 0; });
    EXPECT_EQ(link.b.in.size(), static_cast<size_t>(packets) * PeerStream::PayloadLength);
    link.routerB.removeListener(&acceptor);
    link.routerB.addListener(&link);  // the destructor removes it
    timeouts = sender.timeouts, cuts = sender.cuts;
    return sender.doneAt;
  };
  int timeouts = 0, cuts = 0;
  const uint64_t perPacket = transfer(1, timeouts, cuts);
  const uint64_t ours = transfer(PeerStream::AckEvery, timeouts, cuts);
  EXPECT_EQ(timeouts, 0);
  EXPECT_EQ(cuts, 0);
  // Its window grows slower, but the bottleneck, not the window, sets the pace of a long transfer.
  EXPECT_LE(static_cast<double>(ours), 1.15 * static_cast<double>(perPacket)) << ours << " ms, " << perPacket << " ms";
}

