// Two stream ends joined by a simulated link on a manual clock: datagrams are really encoded
// and go through the routers' receive path, but wait in the link, which can lose, duplicate,
// reorder or rewrite them reproducibly. Every owner deletes its stream from handle_close.
#include "p2p/processes/PeerStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "utils/Base64.h"

using namespace p2p;

namespace {

using Reason = std::optional<std::string>;

std::string bytesOf(Message& m, int32_t room = UdpRouter::MTU_LENGTH) {
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

// Its datagrams go into the link instead of the socket; tests read and set its figures.
struct LinkedStream : PeerStream {
  LinkedStream(Link& link, bool atA, UdpRouter* router, Owner& owner);
  void transmit(Message& m) override;
  using PeerStream::ackEvery, PeerStream::estimatedLatency, PeerStream::maxSendPool, PeerStream::slowStart,
      PeerStream::window;
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
  // A opens with `out` to send and takes only the acknowledgements that ackA hands it.
  LinkedStream& openForHandAcks(std::string out) {
    tap = [this](Message& m, bool fromA) { return onlyA(m, fromA); };
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

LinkedStream::LinkedStream(Link& link, bool atA, UdpRouter* router, Owner& owner)
    : PeerStream(router, &owner), link(link), atA(atA) {
  keystreamLimits = atA ? link.keystreamA : link.keystreamB;
}

void LinkedStream::transmit(Message& m) { link.carry(m, atA); }

std::string pattern(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

}  // namespace

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
  link.A().window = 10;
  link.a.out = pattern(3000, 7);  // three packets
  link.a.pump();
  link.run(1000);
  EXPECT_EQ(link.b.in, link.a.out.substr(0, 100));
  EXPECT_EQ(link.lastAckFromB.sequence, 0);
  EXPECT_EQ(link.lastAckFromB.numOutOfOrder, 3);
  EXPECT_EQ(link.A().window, 10.0);  // a consumer that stalls is no loss
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

TEST(PeerStream, TheWindowGrowsByThePacketsAcknowledgedAndShrinksOncePerLoss) {
  Link link;
  LinkedStream& a = link.openForHandAcks(pattern(200 * PeerStream::PayloadLength, 9));
  const auto ack = [&](int32_t sequence, int32_t outOfOrder = 0) { link.ackA(sequence, outOfOrder); };
  EXPECT_EQ(a.window, 2.0);
  ack(2);  // slow start: one for each packet
  EXPECT_EQ(a.window, 4.0);
  ack(1000);  // beyond what was sent
  EXPECT_EQ(a.window, 4.0);
  a.slowStart = false, a.window = 50;
  ack(3);  // lets 50 packets fly
  const double before = a.window;
  ack(23);  // congestion avoidance: n / window
  EXPECT_NEAR(a.window, before + 20 / before, 1e-9);
  a.window = 4;
  ack(33);  // ten packets, but a window's worth counts
  EXPECT_EQ(a.window, 5.0);
  a.slowStart = true;
  ack(43);
  EXPECT_EQ(a.window, 10.0);

  a.slowStart = false, a.window = 9.0;
  link.run(20);                            // a resend waits a tenth of the round trip after the last sending
  for (int i = 0; i < 6; ++i) ack(43, 1);  // three duplicates cut once; the next three do not again
  EXPECT_EQ(a.window, 6.0);
  EXPECT_EQ(link.timesSent(44), 2);
  ack(44);
  link.run(20);
  for (int i = 0; i < 3; ++i) ack(44, PeerStream::DefaultPoolSize);  // the peer holds all in flight: no loss
  EXPECT_NEAR(a.window, 6.0 + 1 / 6.0, 1e-9);
  for (int i = 0; i < 3; ++i) ack(44, 1);  // a new loss cuts again
  EXPECT_NEAR(a.window, (6.0 + 1 / 6.0) * 2 / 3, 1e-9);
  a.slowStart = true, a.window = a.maxSendPool - 0.5;
  const size_t sentBefore = link.dataSent.size();
  ack(45, -1000000);  // taken as 0, so it does not stop the sender
  EXPECT_EQ(a.window, a.maxSendPool);
  EXPECT_GT(link.dataSent.size(), sentBefore);

  // Retransmission time-out: twice the round trip, within 20..800 ms; it restarts slow start.
  for (const auto& [latency, timeout] : {std::pair<double, uint64_t>{100, 200}, {500, 800}, {1, 20}}) {
    Link quiet;
    quiet.tap = [&](Message& m, bool fromA) { return quiet.onlyA(m, fromA); };
    quiet.open();
    quiet.run(12);
    quiet.A().estimatedLatency = latency, quiet.A().window = 10, quiet.A().slowStart = false;
    quiet.a.out = "x";
    quiet.a.pump();
    const uint64_t sent = quiet.clock;
    quiet.run(2000, [&] { return quiet.timesSent(1) == 2; });
    EXPECT_GT(quiet.clock - sent, timeout);
    EXPECT_LE(quiet.clock - sent, timeout + PeerStream::TimerPeriod);
    EXPECT_EQ(quiet.A().window, 2.0);
    EXPECT_TRUE(quiet.A().slowStart);
  }
  for (const auto& [advertised, taken] : {std::pair<int32_t, int32_t>{1, 2}, {1 << 30, 1000}}) {
    Link pool;
    pool.tap = [advertised = advertised](Message& m, bool) {
      if (m.getOpcode() == Message::connectAck) static_cast<ConnectAck&>(m).sendPoolSize = advertised;
      return true;
    };
    pool.open();
    pool.run(12);
    EXPECT_EQ(pool.A().maxSendPool, taken);
  }
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
        auto* stream = new LinkedStream(link, false, &link.routerB, link.b);
        stream->ackEvery = ackEvery;
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

// An owner that holds its stream short keeps only that many packets ahead of what it has read;
// the rest are dropped and sent again, nothing is lost, and the peer is told the pool as before.
TEST(PeerStream, AStreamHeldShortKeepsOnlyThatManyPacketsAhead) {
  struct Row {
    int32_t limit;
    int32_t mostHeld;  // while packet 1 is missing and 2 to 100 arrive
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
      if (m.getOpcode() != Message::data || m.getSequence() != 1 || lost) return true;
      return !(lost = true);
    };
    link.open();
    link.run(12);
    ASSERT_TRUE(link.b.stream);
    link.b.stream->holdAtMost(row.limit);
    EXPECT_EQ(advertised, PeerStream::RecvPoolSize);
    link.A().window = 100;
    link.a.out = pattern(100 * PeerStream::PayloadLength, 11);
    link.a.pump();
    link.run(60000, [&] { return link.b.in.size() == link.a.out.size(); });
    EXPECT_EQ(mostHeld, row.mostHeld);
    EXPECT_TRUE(link.b.in == link.a.out) << link.b.in.size() << " bytes arrived";
  }
}
