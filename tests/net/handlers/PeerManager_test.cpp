// The connection's receive path: frames gathered out of a byte stream however it is cut,
// lengths checked, back-pressure, and hostile frames that cost one connection only; what the
// Manager lets in, and what goes with it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "net/handlers/Stranger.h"
#include "net/messages/CopyPause.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketRequest.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Connect.h"
#include "support/EngineFixture.h"
#include "utils/Base64.h"
#include "utils/DH.h"

using namespace enginetest;
using net::Message;

namespace {

// A handler that records what reaches it.
struct Recorder : net::IHandler {
  explicit Recorder(net::IContext* context) : IHandler(context) {}
  bool recvReady() const override { return ready; }
  void handleRecv(const Message* m) override {
    opcodes.push_back(m->getOpcode());
    if (m->getOpcode() == Message::FILE_WRITE) lastWriteLength = static_cast<const net::FileWrite*>(m)->length;
    ready = !holdAfterEach;
    if (throwOnRecv) throw std::runtime_error("handler choked");
  }
  void handleSend() override {}

  std::vector<int> opcodes;
  int32_t lastWriteLength = -1;
  bool ready = true, holdAfterEach = false, throwOnRecv = false;
};

// A calling-side connection hosting a Recorder; its punch never succeeds in these tests.
struct Hosted {
  explicit Hosted(LocalEngine& engine) {
    pm = new net::PeerManager(engine.manager.get(), "99999999-2222-1333-8444-555555555555",
                              [this](net::IContext* c) { return recorder = new Recorder(c); });
    pm->setListener(&closes);
  }
  ~Hosted() {
    if (closes.reasons.empty()) pm->close(true, "");
  }
  // Hands the bytes to the connection in pieces that end at `cuts`; how many it left unread.
  size_t feed(const std::vector<int8_t>& bytes, const std::vector<size_t>& cuts = {}) {
    std::vector<size_t> ends(cuts);
    ends.push_back(bytes.size());
    for (size_t start = 0, i = 0; i < ends.size(); start = ends[i++]) {
      std::vector<int8_t> piece(bytes.begin() + start, bytes.begin() + ends[i]);
      ByteBuffer chunk(piece.data(), static_cast<int32_t>(piece.size()));
      pm->handle_recv(&chunk);
      if (chunk.hasRemaining()) return static_cast<size_t>(chunk.remaining()) + (bytes.size() - ends[i]);
    }
    return 0;
  }

  net::PeerManager* pm;
  Recorder* recorder = nullptr;
  CloseLog closes;
};

std::vector<int8_t> join(std::initializer_list<std::vector<int8_t>> frames) {
  std::vector<int8_t> all;
  for (const auto& f : frames) all.insert(all.end(), f.begin(), f.end());
  return all;
}

std::vector<int8_t> rawFrame(int32_t length, int32_t opcode) {
  std::vector<int8_t> bytes(8, 0);
  ByteBuffer b(bytes.data(), 8);
  b.putInt(length);
  b.putInt(opcode);
  return bytes;
}

// Hands one frame of `message` to the connection.
void deliver(net::PeerManager* pm, const Message& message) {
  std::vector<int8_t> bytes = frameOf(message);
  ByteBuffer chunk(bytes.data(), static_cast<int32_t>(bytes.size()));
  pm->handle_recv(&chunk);
}

std::vector<int8_t> fileWriteFrame(int32_t dataLength) {
  net::FileWrite write;
  write.length = dataLength;
  return frameOf(write);
}

}  // namespace

TEST(PeerManagerFraming, FramesArriveWholeHoweverTheStreamIsCut) {
  LocalEngine engine;
  net::FileAck ack;
  ack.fileName = "a.txt";
  net::TicketRequest request;
  request.ticket = "CODE";
  const std::vector<int8_t> bytes = join({frameOf(net::CopyPause()), frameOf(ack), frameOf(request)});
  std::vector<std::vector<size_t>> cuttings = {{}};  // all in one chunk
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < bytes.size(); ++i) everyByte.push_back(i), cuttings.push_back({i});  // or two pieces
  cuttings.push_back(everyByte);
  for (const auto& cuts : cuttings) {
    Hosted hosted(engine);
    ASSERT_EQ(hosted.feed(bytes, cuts), 0u);
    EXPECT_EQ(hosted.recorder->opcodes,
              (std::vector<int>{Message::COPY_PAUSE, Message::FILE_ACK, Message::TICKET_REQUEST}))
        << cuts.size() << " cuts";
    EXPECT_TRUE(hosted.closes.reasons.empty());
  }
  Hosted longest(engine);
  const std::vector<int8_t> full = fileWriteFrame(net::PeerManager::BUFFER_SIZE - net::FileWrite::getDataOffset());
  ASSERT_EQ(full.size(), 61440u);
  longest.feed(full, {1415, 2830});
  EXPECT_EQ(longest.recorder->lastWriteLength, 61416);
  EXPECT_TRUE(longest.closes.reasons.empty());
}

// A bad length, an unknown message or a handler that throws closes that connection with the
// reason, reads nothing more from it, and the engine serves the next one.
TEST(PeerManagerFraming, AHostileFrameCostsOnlyItsConnection) {
  LocalEngine engine;
  const std::vector<int8_t> pause = frameOf(net::CopyPause());
  struct Case {
    std::vector<int8_t> bytes;
    std::string reason;
    size_t heard = 0;  // frames the handler took
  };
  std::vector<Case> cases = {{join({rawFrame(8, 11), pause}), "net::newMessage opcode 11"},
                             {join({pause, pause}), "handler choked", 1}};
  for (int32_t length : {3, 7, 61441, -5})
    cases.push_back(
        {join({rawFrame(length, Message::COPY_PAUSE), pause}), "Illegal message length " + std::to_string(length)});
  for (const Case& c : cases) {
    Hosted hosted(engine);
    hosted.recorder->throwOnRecv = c.heard > 0;
    // The rest is read and dropped, so that the stream can drain and tell the peer why.
    EXPECT_EQ(hosted.feed(c.bytes), 0u) << c.reason;
    EXPECT_EQ(hosted.closes.reasons, std::vector<std::string>{c.reason});
    EXPECT_EQ(hosted.recorder->opcodes.size(), c.heard) << c.reason;
  }
  {
    Hosted healthy(engine);
    healthy.feed(rawFrame(8, Message::COPY_PAUSE));  // the shortest frame
    EXPECT_EQ(healthy.recorder->opcodes, std::vector<int>{Message::COPY_PAUSE});
  }
  EXPECT_TRUE(engine.runUntil([&] { return engine.manager->livePeers().empty(); }));
}

TEST(PeerManagerFraming, AHandlerStillUsingAFrameHoldsTheRestBack) {
  LocalEngine engine;
  Hosted hosted(engine);
  hosted.recorder->holdAfterEach = true;
  const std::vector<int8_t> second = frameOf(net::CopyPause());
  EXPECT_EQ(hosted.feed(join({fileWriteFrame(100), second})), second.size());  // the second stays in the stream
  EXPECT_EQ(hosted.recorder->opcodes, std::vector<int>{Message::FILE_WRITE});
  EXPECT_EQ(hosted.feed(second), second.size());  // offered again too early: untouched
  hosted.recorder->ready = true;
  EXPECT_EQ(hosted.feed(second), 0u);
  EXPECT_EQ(hosted.recorder->opcodes, (std::vector<int>{Message::FILE_WRITE, Message::COPY_PAUSE}));
}

// Accepted connections in every state (waiting for a request, for the web server's word on its
// peer, done), a connection punching and a receive waiting for the web server all go with the
// Manager, nothing used after it is freed (run under ASan too).
TEST(ManagerShutdown, ConnectionsInEveryStateAndReceivesGoWithTheManager) {
  // A web server that takes connections and never says a word.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = servertest::loopback(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 16), 0);
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  LocalEngine engine("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
  engine.manager->ticketSendCode(0, "bob@example.com", {"/x"}, "CODE", engine.manager->wallTime());
  CloseLog closes;
  const p2p::SocketAddress peer("127.0.0.1", 9);
  net::TicketRequest request;
  request.uuid = "22222222-2222-1333-8444-555555555555";
  request.username = "bob@example.com";
  for (int32_t channel : {1, 2, 3}) {
    p2p::Connect connect(channel, 100, p2p::PeerStream::MyProtocol, "", "", "");
    net::PeerManager* pm = net::PeerManager::accept(engine.manager.get(), &connect, peer);
    ASSERT_NE(pm, nullptr);
    pm->setListener(&closes);
    EXPECT_TRUE(pm->carries(channel, peer));
    deliver(pm, net::FileAck());  // no request: dropped
    EXPECT_FALSE(pm->hasHandler());
    if (channel == 3) continue;
    request.ticket = channel == 1 ? "CODE" : "NOPE";  // no such offer: answered NOT_FOUND, and done
    deliver(pm, request);
    EXPECT_EQ(pm->handlerName(), "TicketRequestHandler");
  }
  EXPECT_EQ(closes.reasons, std::vector<std::string>{""});
  EXPECT_EQ(closes.names, std::vector<std::string>{"TicketRequestHandler"});
  new net::PeerManager(engine.manager.get(), "99999999-2222-1333-8444-555555555555",
                       [](net::IContext* c) { return new Recorder(c); });  // punching
  engine.manager->ticketRecv(5, "SOMECODE");
  engine.runUntil([] { return false; }, 50);
  EXPECT_EQ(engine.manager->receives.size(), 1u);
  engine.manager.reset();
  EXPECT_EQ(closes.reasons.size(), 1u);  // listeners are let go first: nobody hears a late word
  close(silent);
}

// What the Manager lets in: no stream without a key agreement, one stream per opening datagram
// however often it comes, and no more than MAX_PENDING_ACCEPTS waiting for their request (from
// sources enough that none of them reaches its own cap).
TEST(ManagerAccepting, OnlyKeyedStreamsOncePerConnectAndABoundOnThoseWaiting) {
  LocalEngine engine;
  net::Manager& m = *engine.manager;
  auto connect = [](int32_t channel, bool keyed = true) {
    DHKeyExchange dh;
    dh.setPG();
    const std::string pk = base64_encode(dh.genPublicKey());
    std::string p, g;
    dh.getPG(p, g);
    return keyed ? p2p::Connect(channel, 100, p2p::PeerStream::MyProtocol, p, g, pk)
                 : p2p::Connect(channel, 100, p2p::PeerStream::MyProtocol, "", "", "");
  };
  const p2p::SocketAddress peer("127.0.0.1", 9);
  auto live = [&] { return std::distance(m.livePeers().begin(), m.livePeers().end()); };

  p2p::Connect clear = connect(1, false);
  m.handleAccept(&clear, peer);
  EXPECT_TRUE(engine.runUntil([&] { return live() == 0; }));  // closed: "encryption required"
  p2p::Connect first = connect(2);
  m.handleAccept(&first, peer);
  m.handleAccept(&first, peer);  // the same datagram again
  EXPECT_EQ(live(), 1);
  for (int32_t channel = 3; channel < 3 + static_cast<int32_t>(net::Manager::MAX_PENDING_ACCEPTS) + 5; ++channel) {
    p2p::Connect next = connect(channel);
    m.handleAccept(&next, p2p::SocketAddress("127.0.1." + std::to_string(channel / net::AcceptGate::MAX_WAITING), 9));
  }
  EXPECT_EQ(live(), static_cast<long>(net::Manager::MAX_PENDING_ACCEPTS));
}

// A stranger who floods the port from one address, with connects held open or closed at once,
// gets a few connections and answers, and then none: every other address is still let in.
TEST(ManagerAccepting, AFloodFromOneSourceLeavesRoomForAnother) {
  LocalEngine engine;
  net::Manager& m = *engine.manager;
  const int port = m.getRouter()->getUdp()->getPort();
  Stranger flood("127.0.0.2"), other("127.0.0.3");
  std::vector<int32_t> acknowledged;
  const auto listen = [&](int forMs) {
    engine.runUntil([&] {
      flood.collect(0, [&](const p2p::Message& a) {
        if (a.getOpcode() == p2p::Message::connectAck) acknowledged.push_back(a.getChannelId());
      });
      other.collect();
      return false;
    }, forMs);
  };
  const auto open = [&](Stranger& from, int32_t channel, bool closeAtOnce) {
    p2p::Connect connect = keyedConnect(channel);
    from.send(connect, port);
    if (!closeAtOnce) return;
    p2p::Close close(channel);
    from.send(close, port);
  };

  struct Flood {
    const char* kind;
    int32_t firstChannel;
    bool closeAtOnce;
    size_t answered;  // connects acknowledged, in all
    int strikes;      // of the flooding address, after
  };
  const Flood floods[] = {
      {"held open: four wait", 1, false, net::AcceptGate::MAX_WAITING, 0},
      // The four above are closed first: with four pairs more the address is out of strikes.
      {"connect and close", 100, true, net::AcceptGate::MAX_STRIKES, net::AcceptGate::MAX_STRIKES},
  };
  int32_t otherChannel = 1000;
  for (const Flood& f : floods) {
    SCOPED_TRACE(f.kind);
    for (int32_t channel : acknowledged) {
      p2p::Close close(channel);
      flood.send(close, port);
    }
    for (int32_t channel = f.firstChannel; channel < f.firstChannel + 20; ++channel) open(flood, channel, f.closeAtOnce);
    open(flood, f.firstChannel + 19, f.closeAtOnce);  // a refused connect sent again: refused again
    listen(1500);
    EXPECT_EQ(acknowledged.size(), f.answered);
    EXPECT_EQ(m.acceptGate().strikes(flood.address(), engine.loop.now()), f.strikes);
    open(other, ++otherChannel, false);
    listen(300);
    EXPECT_EQ(other.heard(p2p::Message::connectAck), otherChannel - 1000);
  }
  // Nothing answered the refused ones: an acknowledgement and a close for each one let in.
  EXPECT_EQ(flood.heard(p2p::Message::connectAck), static_cast<int>(net::AcceptGate::MAX_STRIKES));
  EXPECT_EQ(flood.heard(p2p::Message::close), static_cast<int>(net::AcceptGate::MAX_STRIKES));
}
