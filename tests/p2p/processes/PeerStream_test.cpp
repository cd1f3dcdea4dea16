#include "p2p/processes/PeerStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "p2p/processes/PeerStreamLink.h"
#include "utils/Base64.h"

using namespace p2p;
using namespace streamlink;

TEST(PeerStream, DeliversExactBytesOverABadLink) {
  struct Row {
    unsigned seed;
    double loss, duplicate, reorder;
    bool relayed;
  };
  for (const Row& row : {Row{1, 0, 0, 0, false}, Row{2, 0.05, 0.01, 0.2, false}, Row{3, 0.2, 0.05, 0.3, true}}) {
    SCOPED_TRACE(row.seed);
    Link link;
    link.random.seed(row.seed);
    link.loss = row.loss, link.duplicate = row.duplicate, link.reorder = row.reorder, link.relayed = row.relayed;
    link.a.out = pattern(300000, row.seed);
    link.b.readLimit = 1000;  // packets are read in pieces
    link.open();
    std::mt19937 stalls(row.seed);  // and the reader stalls now and then
    while (link.b.in.size() < link.a.out.size() && link.clock < 300000) {
      link.b.stopAfter = stalls() % 3 == 0 ? link.b.in.size() : SIZE_MAX;
      link.run(30);
    }
    EXPECT_TRUE(link.b.in == link.a.out) << link.b.in.size() << " bytes arrived";
    EXPECT_NE(link.firstPayload, link.a.out.substr(0, link.firstPayload.size())) << "sent in the clear";
    int32_t longest = 0;
    for (const auto& sent : link.dataSent) longest = std::max(longest, sent.second);
    EXPECT_EQ(longest, row.relayed ? PeerStream::RelayedPayloadLength : PeerStream::PayloadLength);
    link.a.stream->close(false);
    link.run(5000, [&] { return link.a.closed.has_value(); });
    EXPECT_EQ(link.a.closed, Reason(""));
  }
}

// Each end's keystream made ahead in a small ring against the other's made inline, both ways,
// over a link that loses, repeats and reorders: a single byte enciphered out of order, twice
// (a resend) or with the wrong keystream would differ from what the inline end makes of it.
TEST(PeerStream, KeystreamMadeAheadPutsTheSameBytesOnTheWire) {
  KeystreamAhead::Limits small, inlineOnly;
  small.startAfter = 10000, small.ringSize = 3000, small.chunk = 500;  // no multiple of 80 or 1415
  inlineOnly.startAfter = KeystreamAhead::Never;
  for (bool aheadAtA : {true, false}) {
    SCOPED_TRACE(aheadAtA ? "ahead at A" : "ahead at B");
    Link link;
    link.loss = 0.05, link.duplicate = 0.02, link.reorder = 0.2;
    link.keystreamA = aheadAtA ? small : inlineOnly;
    link.keystreamB = aheadAtA ? inlineOnly : small;
    link.a.out = pattern(200000, 21);
    link.b.out = pattern(200000, 22);
    link.open();
    link.run(12);
    ASSERT_TRUE(link.b.stream);
    link.b.pump();
    link.run(120000, [&] { return link.b.in.size() == link.a.out.size() && link.a.in.size() == link.b.out.size(); });
    EXPECT_TRUE(link.b.in == link.a.out) << link.b.in.size() << " bytes arrived at B";
    EXPECT_TRUE(link.a.in == link.b.out) << link.a.in.size() << " bytes arrived at A";
  }
}

TEST(PeerStream, UnreadBytesHoldTheAcknowledgementBack) {
  Link link;
  link.b.stopAfter = 100;
  link.open();
  link.run(12);
  const CongestionControl& congestion = link.A().congestion();
  const auto figures = [&] {
    return std::make_tuple(congestion.window(), congestion.inSlowStart(), congestion.slowStartThreshold());
  };
  const auto before = figures();
  link.a.out = pattern(3000, 7);  // three packets
  link.a.pump();
  link.run(1000);
  EXPECT_EQ(link.b.in, link.a.out.substr(0, 100));
  EXPECT_EQ(link.lastAckFromB.sequence, 0);
  EXPECT_EQ(link.lastAckFromB.numOutOfOrder, 3);
  EXPECT_EQ(figures(), before);  // a consumer that stalls is no loss
  link.b.stopAfter = SIZE_MAX;
  link.run(20);  // the timer delivers, and says so
  EXPECT_EQ(link.b.in, link.a.out);
  EXPECT_EQ(link.lastAckFromB.sequence, 3);
  EXPECT_EQ(link.lastAckFromB.numOutOfOrder, 0);
}

TEST(PeerStream, ClosePathsReportTheirReasonOnBothEnds) {
  struct Row {
    const char* name;
    std::function<void(Link&)> act;  // once connected
    Reason reasonA, reasonB;
    uint64_t after;  // ms from the act to the close of A, when it matters
  };
  const Row rows[] = {
      {"orderly", [](Link& link) { link.a.stream->close(false); }, "", "", 0},
      {"close timeout", [](Link& link) { link.b.stopAfter = 0, link.a.stream->close(false); }, "close timeout",
       "close timeout", 2010},
      // 100 bytes a tick take 3 s, but every packet read is acknowledged.
      {"slow reader", [](Link& link) { link.b.readLimit = 100, link.a.stream->close(false); }, "", "", 0},
      // The reader's only acknowledgements are A's idle ones; all lost, A's data still tells it A is alive.
      {"one way, A's acks lost",
       [](Link& link) {
         link.tap = [](Message& m, bool fromA) { return !fromA || m.getOpcode() != Message::dataAck2; };
         link.b.readLimit = 50, link.a.stream->close(false);
       },
       "", "", 0},
      {"ack timeout", [](Link& link) { link.tap = [](Message&, bool) { return false; }; }, "ack timeout", "ack timeout",
       4010},
      // The owner's own reasons reach its handle_close and the peer.
      {"cut short", [](Link& link) { link.a.stream->close(true, "transfer stalled"); }, "transfer stalled",
       "transfer stalled", 0},
      {"refused at once", [](Link& link) { link.b.stream->close(false, "no such ticket"); }, "no such ticket",
       "no such ticket", 0},
      {"drained, then the reason", [](Link& link) { link.a.stream->close(false, "Paused"); }, "Paused", "Paused", 0},
      {"a reason given while closing",
       [](Link& link) {
         link.a.stream->close(false);
         link.a.stream->close(false, "Illegal message length 3");
         link.a.stream->close(false, "not this one");
       },
       "Illegal message length 3", "Illegal message length 3", 0},
      {"a reason that cannot drain", [](Link& link) { link.b.stopAfter = 0, link.a.stream->close(false, "Paused"); },
       "close timeout", "close timeout", 2010},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Link link;
    link.a.out = pattern(30000, 5);
    link.open();
    link.run(12);
    ASSERT_TRUE(link.a.connected);
    const uint64_t start = link.clock;
    row.act(link);
    link.run(10000, [&] { return link.a.closed.has_value(); });
    const double took = static_cast<double>(link.clock - start);
    EXPECT_NEAR(row.after ? took : 0, static_cast<double>(row.after), 10);
    link.run(5000, [&] { return link.b.closed.has_value(); });
    EXPECT_EQ(link.a.closed, row.reasonA);
    EXPECT_EQ(link.b.closed, row.reasonB);
    EXPECT_TRUE(row.reasonA != "" || link.b.in == link.a.out);
    EXPECT_TRUE(link.a.closes == 1 && link.b.closes == 1);
  }
}

TEST(PeerStream, RefusedOrFailedKeyAgreementEndsBothSidesWithTheReason) {
  struct Row {
    std::function<void(Message&)> rewrite;  // applied to each message of its opcode
    Message::Opcode opcode;
    std::string reasonA;  // a prefix; B, if it took the connect, reports the same
    bool accepted;
  };
  const std::string junkKey = base64_encode(std::string(300, 'x'));
  const auto evenP = [](Message& m) {
    std::string& p = static_cast<Connect&>(m).p;
    p.back() = static_cast<char>('0' + (p.back() - '0') / 2 * 2);
  };
  const Row rows[] = {
      {[&](Message& m) { static_cast<Connect&>(m).pk = junkKey; }, Message::connect, "error generating key d2i_PUBKEY",
       true},
      {evenP, Message::connect, "PG error ", true},
      {[](Message& m) { static_cast<Connect&>(m).protocol = 3; }, Message::connect, "connect timeout", false},
      {[](Message& m) { m.channelId = 0; }, Message::connect, "connect timeout", false},
      {[](Message& m) { static_cast<ConnectAck&>(m).protocol = 3; }, Message::connectAck, "Illegal protocol: 3", true},
      {[](Message& m) { static_cast<ConnectAck&>(m).pk.clear(); }, Message::connectAck, "Empty pk", true},
      {[&](Message& m) { static_cast<ConnectAck&>(m).pk = junkKey; }, Message::connectAck, "error generating key ",
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reasonA);
    Link link;
    link.tap = [&](Message& m, bool) { return m.getOpcode() != row.opcode || (row.rewrite(m), true); };
    link.open();
    link.run(3000, [&] { return link.a.closed && (link.b.closed || !row.accepted); });
    ASSERT_TRUE(link.a.closed);
    EXPECT_EQ(link.a.closed->rfind(row.reasonA, 0), 0u) << *link.a.closed;
    EXPECT_FALSE(link.a.connected);
    EXPECT_EQ(link.b.closed, row.accepted ? link.a.closed : Reason());
  }
}

TEST(PeerStream, HostileDatagramsCostNothingButThemselves) {
  Link link;
  Connect plain(77, 100, PeerStream::MyProtocol, "", "", "");  // no group, no key: unencrypted
  link.inject(plain, false);
  ASSERT_EQ(link.flying.size(), 1u);
  std::string& answerBytes = link.flying.begin()->second.second;
  ByteBuffer answer(reinterpret_cast<int8_t*>(&answerBytes[0]), static_cast<int32_t>(answerBytes.size()));
  EXPECT_EQ(static_cast<ConnectAck&>(*std::unique_ptr<Message>(Message::decodeMessage(answer))).pk, "");
  const auto data = [&](int32_t sequence, std::string payload) { link.injectData(sequence, payload); };
  data(1, "hello");
  data(2, std::string(PeerStream::PayloadLength + 1, 'x'));  // too long for a packet
  data(PeerStream::RecvPoolSize + 2, "beyond the pool");
  EXPECT_EQ(link.lastAckFromB.numOutOfOrder, 0);
  data(PeerStream::RecvPoolSize + 1, "last in the pool");
  EXPECT_EQ(link.lastAckFromB.numOutOfOrder, 1);
  ConnectAck lateAnswer(77, 100, PeerStream::MyProtocol, "");
  DataAck2 beyondSent;
  beyondSent.channelId = 77, beyondSent.sequence = 5;
  for (Message* m : std::initializer_list<Message*>{&lateAnswer, &plain, &beyondSent}) link.inject(*m, false);
  EXPECT_TRUE(link.b.stream && link.b.stream->isConnected());
  EXPECT_FALSE(link.b.connected);  // the answer to connect is for the opening side only
  Close forged(77);  // the channel id is public: a stranger who knows it changes nothing
  forged.reason = "forged";
  EXPECT_TRUE(link.b.stream->handleRouter(&forged, SocketAddress("127.0.0.9", 9)));
  EXPECT_TRUE(link.b.stream->isConnected());
  ClientHole foreign("u", "f", "", 0, 3, "", 0);
  EXPECT_FALSE(
      PeerStream(&link.routerA, &link.a).handleRouter(&foreign, link.addrB));  // no channel yet, claims nothing
  foreign.channelId = 77;
  link.inject(foreign, false);
  EXPECT_EQ(link.b.closed, Reason("Illegal message: 6"));
  EXPECT_EQ(link.b.in, "hello");
}

TEST(PeerStream, AnOwnersExceptionClosesItsStreamOnly) {
  struct Row {
    const char* name;
    std::function<void(Link&)> arm;
    Reason reasonA, reasonB;
  };
  const auto fail = [](Owner&) { throw std::runtime_error("frame broke"); };
  const Row rows[] = {
      {"in handle_recv", [&](Link& link) { link.b.onRecv = fail; }, "frame broke", "frame broke"},
      {"of no std type", [](Link& link) { link.b.onRecv = [](Owner&) { throw 7; }; }, "unknown exception",
       "unknown exception"},
      {"in handle_connect", [&](Link& link) { link.a.onConnect = fail; }, "frame broke", "frame broke"},
      {"in handle_send", [&](Link& link) { link.a.onSend = fail; }, "frame broke", "frame broke"},
      {"after closing with its own reason",
       [](Link& link) {
         link.b.onRecv = [](Owner& b) {
           b.stream->close(true, "Paused");
           throw std::runtime_error("late");
         };
       },
       "Paused", "Paused"},
      {"after ending the stream",  // nothing of the stream may be touched; A learns it from the silence
       [](Link& link) {
         link.b.onRecv = [](Owner& b) {
           b.stream.reset();
           throw std::runtime_error("late");
         };
       },
       "ack timeout", Reason()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Link link;
    link.a.out = pattern(30000, 3);
    row.arm(link);
    link.open();
    EXPECT_NO_THROW(link.run(6000, [&] { return link.a.closed && (link.b.closed || !row.reasonB); }));
    EXPECT_EQ(link.a.closed, row.reasonA);
    EXPECT_EQ(link.b.closed, row.reasonB);
    EXPECT_LE(link.b.closes, 1);
  }
}

TEST(PeerStream, NewGroupsFromStrangersAreCheckedAFewPerMinute) {
  Link link;
  int n = 0;  // even numbers of the group's size: unsound, and quick to find so
  link.tap = [&](Message& m, bool) {
    if (m.getOpcode() != Message::connect || n < 0) return true;
    std::string& p = static_cast<Connect&>(m).p;
    p[p.size() - 2] = static_cast<char>('0' + n), p.back() = '0';
    return true;
  };
  const auto offer = [&] {
    link.a.closed.reset(), link.a.connected = false;
    link.open();
    link.run(3000, [&] { return link.a.closed || link.a.connected; });
    return link.a.connected ? "connected" : *link.a.closed;  // what the opener was told
  };
  for (; n < DhGroupGate::NEW_GROUPS_PER_PERIOD; ++n) EXPECT_EQ(offer().rfind("PG error ", 0), 0u);
  EXPECT_EQ(offer(), DhGroupGate::TOO_MANY_NEW_GROUPS);
  n = -1;
  EXPECT_EQ(offer(), "connected");  // the built-in group is never checked
}

TEST(PeerStream, ARelayedStreamKeepsItsRelayBelieved) {
  Link link;
  const SocketAddress relay("127.0.0.1", 3478);
  std::optional<UdpRouter::RelayRef> login(UdpRouter::RelayRef(&link.routerA, relay));
  SocketAddress peer = link.addrB;
  peer.setProxy(relay.getSockaddr());
  link.a.stream.reset(new LinkedStream(link, true, &link.routerA, link.a));
  link.a.stream->connect(peer);
  login.reset();  // the login moves on to another server address
  EXPECT_TRUE(link.routerA.isRelay(relay));
  link.a.stream.reset();
  EXPECT_FALSE(link.routerA.isRelay(relay));
}

namespace {

using Acks = std::vector<std::pair<int32_t, int32_t>>;  // sequence and packets held out of order

// B's acknowledgements as they leave, into `acks`.
void recordAcks(Link& link, Acks& acks) {
  link.tap = [&acks](Message& m, bool fromA) {
    if (!fromA && m.getOpcode() == Message::dataAck2) {
      const auto& ack = static_cast<DataAck2&>(m);
      acks.emplace_back(ack.sequence, ack.numOutOfOrder);
    }
    return true;
  };
}

}  // namespace

TEST(PeerStream, InOrderDataIsAcknowledgedPerFourAndAtTheEndOfTheReadAnythingElseAtOnce) {
  Link link;
  Acks acks;
  recordAcks(link, acks);
  Connect plain(77, PeerStream::RecvPoolSize, PeerStream::MyProtocol, "", "", "");
  link.inject(plain, false);
  const auto data = [&](int32_t sequence) { link.injectData(sequence); };
  const auto read = [&](std::initializer_list<int32_t> sequences) {
    acks.clear();
    link.routerB.handleReadBegin();
    for (int32_t sequence : sequences) data(sequence);
    link.routerB.handleReadEnd();
  };
  read({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // after the fourth, the eighth, and the last of the read
  EXPECT_EQ(acks, (Acks{{4, 0}, {8, 0}, {10, 0}}));
  read({11, 12, 13, 14, 15, 16, 18});  // a burst that ends in a gap tells the gap at once
  EXPECT_EQ(acks, (Acks{{14, 0}, {16, 1}}));

  // Past a gap, a duplicate, the packet that fills the gap: each answered before the read ends.
  acks.clear();
  link.routerB.handleReadBegin();
  data(20);
  data(5);
  data(17);
  EXPECT_EQ(acks, (Acks{{16, 2}, {16, 2}, {18, 1}}));
  link.routerB.handleReadEnd();
  EXPECT_EQ(acks.size(), 3u);

  read({19});  // a trickle: each packet answered at the end of its own read
  read({21});
  EXPECT_EQ(acks, (Acks{{21, 0}}));
  acks.clear();
  data(22);  // handed in outside a read
  EXPECT_EQ(acks, (Acks{{22, 0}}));

  // A read that has not ended is answered on the next tick at the latest.
  acks.clear();
  link.routerB.handleReadBegin();
  data(23);
  EXPECT_TRUE(acks.empty());
  link.run(PeerStream::TimerPeriod);
  EXPECT_EQ(acks, (Acks{{23, 0}}));
  link.routerB.handleReadEnd();
  EXPECT_EQ(acks.size(), 1u);
  EXPECT_EQ(link.b.in.size(), 23u);
}

// An owner that holds its stream short keeps only that many packets ahead of what it has read;
// the rest are dropped and sent again, nothing is lost, and the peer is told the pool as before.
TEST(PeerStream, AStreamHeldShortKeepsOnlyThatManyPacketsAhead) {
  struct Row {
    int32_t limit;
    int32_t mostHeld;  // while packet 301 is missing and 302 to 400 arrive
  };
  for (const Row& row : {Row{32, 31}, Row{0, 0}, Row{PeerStream::RecvPoolSize, 99}}) {
    SCOPED_TRACE(row.limit);
    Link link;
    int32_t mostHeld = 0, advertised = 0;
    bool lost = false;
    link.tap = [&](Message& m, bool fromA) {
      if (m.getOpcode() == Message::connectAck) advertised = static_cast<ConnectAck&>(m).sendPoolSize;
      if (m.getOpcode() == Message::dataAck2 && !fromA)
        mostHeld = std::max(mostHeld, static_cast<DataAck2&>(m).numOutOfOrder);
      if (m.getOpcode() != Message::data || m.getSequence() != 301 || lost) return true;
      return !(lost = true);
    };
    link.open();
    link.run(12);
    ASSERT_TRUE(link.b.stream);
    link.b.stream->holdAtMost(row.limit);
    EXPECT_EQ(advertised, PeerStream::RecvPoolSize);
    // The first 300 open the window in slow start, so that the next 100 fly at once.
    link.a.out = pattern(400 * PeerStream::PayloadLength, 11);
    link.a.pump();
    link.run(60000, [&] { return link.b.in.size() == link.a.out.size(); });
    EXPECT_EQ(mostHeld, row.mostHeld);
    EXPECT_TRUE(link.b.in == link.a.out) << link.b.in.size() << " bytes arrived";
  }
}
