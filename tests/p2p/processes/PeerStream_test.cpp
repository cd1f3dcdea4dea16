// Two stream ends joined by a simulated link on a manual clock: datagrams are really encoded
// and go through the routers' receive path, but wait in the link, which can lose, duplicate,
// reorder or rewrite them reproducibly. Every owner deletes its stream from handle_close.
#include "p2p/processes/PeerStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "utils/Base64.h"
#include "utils/DH.h"
#include "utils/Utils.h"

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
  LinkedStream(Link& link, bool atA, UdpRouter* router, Owner& owner)
      : PeerStream(router, &owner), link(link), atA(atA) {}
  void transmit(Message& m) override;
  using PeerStream::estimatedLatency, PeerStream::maxSendPool, PeerStream::slowStart, PeerStream::window;
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
  std::function<bool(Message&, bool fromA)> tap = [](Message&, bool) { return true; };  // false drops
  std::multimap<uint64_t, std::pair<UdpRouter*, std::string>> flying;                   // by time of arrival
  std::vector<std::pair<int32_t, int32_t>> dataSent;                                    // sequence and payload length
  DataAck2 lastAckFromB;
  std::string firstPayload;  // as A put it on the wire

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
    for (int copies = harmed && share(random) < duplicate ? 2 : 1; copies > 0; --copies) {
      flying.emplace(clock + 5 + (share(random) < reorder ? random() % 20 : 0),
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
  // 1 ms steps: delivers what is due, ticks both ends every 10 ms.
  void run(
      uint64_t ms, const std::function<bool()>& until = [] { return false; }) {
    for (uint64_t end = clock + ms; clock < end && !until();) {
      for (++clock; !flying.empty() && flying.begin()->first <= clock; flying.erase(flying.begin())) {
        auto& [to, bytes] = flying.begin()->second;
        to->handleRecv(reinterpret_cast<int8_t*>(&bytes[0]), static_cast<int>(bytes.size()),
                       (to == &routerB ? addrA : addrB).getSockaddr());
      }
      for (Owner* end : {&a, &b}) {
        if (end->stream && clock % PeerStream::TimerPeriod == 0) end->stream->handleTimer();
      }
    }
  }
  LinkedStream& A() { return static_cast<LinkedStream&>(*a.stream); }
  int timesSent(int32_t sequence) const {
    return static_cast<int>(
        std::count_if(dataSent.begin(), dataSent.end(), [&](auto& s) { return s.first == sequence; }));
  }
  bool onlyA(Message& m, bool fromA) { return fromA || m.getOpcode() != Message::dataAck2; }
};

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
      {"cut short", [](Link& link) { link.a.stream->close(true); }, "closed with data undelivered",
       "closed with data undelivered", 0},
      {"cut short with a reason", [](Link& link) { link.a.stream->close(true, "transfer stalled"); },
       "transfer stalled", "transfer stalled", 0},
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
  Link silent;
  silent.tap = [](Message&, bool) { return false; };
  silent.open();
  silent.run(3000, [&] { return silent.a.closed.has_value(); });
  EXPECT_EQ(silent.a.closed, Reason("connect timeout"));
  EXPECT_EQ(silent.clock, 1000u + PeerStream::ConnectTimeout + PeerStream::TimerPeriod);
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
  const auto data = [&](int32_t sequence, std::string payload) {
    ByteBuffer buffer(reinterpret_cast<int8_t*>(&payload[0]), static_cast<int32_t>(payload.size()));
    Data m(77, sequence, &buffer);
    link.inject(m, false);
  };
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

TEST(PeerStream, WindowAndTimeoutFigures) {
  Link link;
  link.tap = [&](Message& m, bool fromA) { return link.onlyA(m, fromA); };  // acknowledgements by hand
  link.a.out = pattern(200 * PeerStream::PayloadLength, 9);
  link.open();
  link.run(12);
  LinkedStream& a = link.A();
  const auto ack = [&](int32_t sequence, int32_t outOfOrder) {
    DataAck2 m;
    m.channelId = a.getChannelId(), m.sequence = m.nextSequence = sequence, m.numOutOfOrder = outOfOrder;
    link.inject(m, true);
  };
  EXPECT_EQ(a.window, 2.0);
  ack(1, 0);
  EXPECT_EQ(a.window, 3.0);  // slow start
  a.slowStart = false, a.window = 2.0;
  ack(2, 0);
  EXPECT_EQ(a.window, 2.5);
  ack(1000, 0);  // beyond what was sent
  EXPECT_EQ(a.window, 2.5);
  a.window = 9.0;
  link.run(20);                           // a resend waits a tenth of the round trip after the last sending
  for (int i = 0; i < 6; ++i) ack(2, 1);  // three duplicates cut once; the next three do not again
  EXPECT_EQ(a.window, 6.0);
  EXPECT_EQ(link.timesSent(3), 2);
  ack(3, 0);
  link.run(20);
  for (int i = 0; i < 3; ++i) ack(3, PeerStream::DefaultPoolSize);  // the peer holds all in flight: no loss
  EXPECT_NEAR(a.window, 6.0 + 1 / 6.0, 1e-9);
  for (int i = 0; i < 3; ++i) ack(3, 1);  // a new loss cuts again
  EXPECT_NEAR(a.window, (6.0 + 1 / 6.0) * 2 / 3, 1e-9);
  a.slowStart = true, a.window = a.maxSendPool - 0.5;
  const size_t sentBefore = link.dataSent.size();
  ack(4, -1000000);  // taken as 0, so it does not stop the sender
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
  std::string builtInP, builtInG;
  {
    DHKeyExchange builtIn;
    builtIn.setPG();
    builtIn.getPG(builtInP, builtInG);
  }
  // Even numbers of the group's size: unsound, and quick to find so.
  const auto evenGroup = [&](int n) {
    std::string p = builtInP;
    p[p.size() - 2] = static_cast<char>('0' + n);
    p.back() = '0';
    return p;
  };
  Link link;
  const auto offer = [&](const std::string& p) {
    Owner owner;
    owner.stream.reset(new LinkedStream(link, false, &link.routerB, owner));
    DHKeyExchange opener;
    opener.setPG();
    Connect connect(Utils::randomInt(), 100, PeerStream::MyProtocol, p, builtInG,
                    base64_encode(opener.genPublicKey()));
    link.flying.clear();
    owner.stream->accept(&connect, link.addrA);
    std::string told;  // the reason the opener hears
    for (auto& flying : link.flying) {
      ByteBuffer view(reinterpret_cast<int8_t*>(&flying.second.second[0]),
                      static_cast<int32_t>(flying.second.second.size()));
      std::unique_ptr<Message> m(Message::decodeMessage(view));
      if (m->getOpcode() == Message::close) told = static_cast<Close&>(*m).reason;
    }
    EXPECT_EQ(told, owner.closed.value_or(""));
    return owner.closed.value_or("connected");
  };
  for (int n = 0; n < DhGroupGate::NEW_GROUPS_PER_PERIOD; ++n) EXPECT_EQ(offer(evenGroup(n)).rfind("PG error ", 0), 0u);
  EXPECT_EQ(offer(evenGroup(8)), DhGroupGate::TOO_MANY_NEW_GROUPS);
  EXPECT_EQ(offer(evenGroup(0)).rfind("PG error ", 0), 0u);  // remembered: no check needed
  EXPECT_EQ(offer(builtInP), "connected");                   // never checked
  link.clock += DhGroupGate::PERIOD_MS;
  EXPECT_EQ(offer(evenGroup(8)).rfind("PG error ", 0), 0u);
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
