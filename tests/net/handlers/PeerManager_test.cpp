// The connection's receive path: frames gathered out of a byte stream however it is cut,
// lengths checked, back-pressure, and hostile frames that cost one connection only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "net/handlers/EngineFixture.h"
#include "net/messages/CopyPause.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketRequest.h"
#include "p2p/messages/Connect.h"
#include "utils/Base64.h"
#include "utils/DH.h"

using namespace enginetest;
using net::Message;

namespace {

// A handler that records what reaches it.
struct Recorder : net::IHandler {
  explicit Recorder(net::IContext* context) : IHandler(context) { handlerName = "Recorder"; }
  bool recvReady() const override { return ready; }
  void handleRecv(const Message* m) override {
    opcodes.push_back(m->getOpcode());
    if (m->getOpcode() == Message::FILE_WRITE) lastWriteLength = static_cast<const net::FileWrite*>(m)->length;
    if (holdAfterEach) ready = false;
    if (throwOnRecv) throw std::runtime_error("handler choked");
  }
  void handleSend() override {}

  std::vector<int> opcodes;
  int32_t lastWriteLength = -1;
  bool ready = true;
  bool holdAfterEach = false;
  bool throwOnRecv = false;
};

// A calling-side connection hosting a Recorder; its punch never succeeds in these tests.
struct Hosted {
  explicit Hosted(LocalEngine& engine) {
    pm = new net::PeerManager(engine.manager.get(), "99999999-2222-1333-8444-555555555555",
                              [this](net::IContext* c) { return recorder = new Recorder(c); });
    pm->setListener(&closes);
  }
  // Hands the bytes to the connection in the given pieces; what it leaves unread is returned.
  size_t feed(const std::vector<int8_t>& bytes, const std::vector<size_t>& cuts = {}) {
    size_t start = 0;
    std::vector<size_t> ends(cuts);
    ends.push_back(bytes.size());
    for (size_t end : ends) {
      std::vector<int8_t> piece(bytes.begin() + start, bytes.begin() + end);
      ByteBuffer chunk(piece.data(), static_cast<int32_t>(piece.size()));
      pm->handle_recv(&chunk);
      if (chunk.hasRemaining()) return static_cast<size_t>(chunk.remaining()) + (bytes.size() - end);
      start = end;
    }
    return 0;
  }
  void end() {
    if (closes.reasons.empty()) pm->close(true, "");
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

std::vector<int8_t> rawFrame(int32_t length, int32_t opcode, size_t bodyBytes) {
  std::vector<int8_t> bytes(8 + bodyBytes, 0);
  ByteBuffer b(bytes.data(), static_cast<int32_t>(bytes.size()));
  b.putInt(length);
  b.putInt(opcode);
  return bytes;
}

std::vector<int8_t> fileWriteFrame(int32_t dataLength) {
  ByteBuffer buffer(net::PeerManager::BUFFER_SIZE);
  net::FileWrite write;
  write.offset = 0;
  write.length = dataLength;
  buffer.position(0);
  write.encode(buffer);
  return std::vector<int8_t>(buffer.array(), buffer.array() + buffer.position());
}

}  // namespace

TEST(PeerManagerFraming, FramesArriveWholeHoweverTheStreamIsCut) {
  LocalEngine engine;
  net::FileAck ack;
  ack.status = Message::CONTINUE;
  ack.fileName = "a.txt";
  net::TicketRequest request;
  request.ticket = "CODE";
  const std::vector<int8_t> bytes = join({frameOf(net::CopyPause()), frameOf(ack), frameOf(request)});
  const std::vector<int> expected = {Message::COPY_PAUSE, Message::FILE_ACK, Message::TICKET_REQUEST};

  std::vector<std::vector<size_t>> cuttings = {{}};  // all in one chunk
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < bytes.size(); ++i) everyByte.push_back(i);
  cuttings.push_back(everyByte);
  for (size_t i = 1; i < bytes.size(); ++i) cuttings.push_back({i});  // two pieces, cut anywhere
  for (const auto& cuts : cuttings) {
    Hosted hosted(engine);
    ASSERT_EQ(hosted.feed(bytes, cuts), 0u);
    EXPECT_EQ(hosted.recorder->opcodes, expected) << cuts.size() << " cuts";
    EXPECT_TRUE(hosted.closes.reasons.empty());
    hosted.end();
  }
  engine.loop.flushDeletions();
}

TEST(PeerManagerFraming, LengthsOutsideEightTo61440CloseTheConnectionWithTheLength) {
  LocalEngine engine;
  for (int32_t length : {3, 7, 61441, -5}) {
    Hosted hosted(engine);
    // The rest is read and dropped, so that the stream can drain and tell the peer why.
    EXPECT_EQ(hosted.feed(join({rawFrame(length, Message::COPY_PAUSE, 0), frameOf(net::CopyPause())})), 0u);
    ASSERT_EQ(hosted.closes.reasons.size(), 1u);
    EXPECT_EQ(hosted.closes.reasons[0], "Illegal message length " + std::to_string(length));
    EXPECT_TRUE(hosted.recorder->opcodes.empty());
  }
  Hosted shortest(engine);
  shortest.feed(rawFrame(8, Message::COPY_PAUSE, 0));
  EXPECT_EQ(shortest.recorder->opcodes, std::vector<int>{Message::COPY_PAUSE});
  Hosted longest(engine);
  const std::vector<int8_t> full = fileWriteFrame(net::PeerManager::BUFFER_SIZE - net::FileWrite::getDataOffset());
  ASSERT_EQ(full.size(), 61440u);
  longest.feed(full, {1415, 2830});
  EXPECT_EQ(longest.recorder->lastWriteLength, 61416);
  EXPECT_TRUE(longest.closes.reasons.empty());
  shortest.end();
  longest.end();
  engine.loop.flushDeletions();
}

TEST(PeerManagerFraming, AHandlerStillUsingAFrameHoldsTheRestBack) {
  LocalEngine engine;
  Hosted hosted(engine);
  hosted.recorder->holdAfterEach = true;
  const std::vector<int8_t> second = frameOf(net::CopyPause());
  const std::vector<int8_t> bytes = join({fileWriteFrame(100), second});
  EXPECT_EQ(hosted.feed(bytes), second.size());  // the second frame stays in the stream
  EXPECT_EQ(hosted.recorder->opcodes, std::vector<int>{Message::FILE_WRITE});
  EXPECT_EQ(hosted.feed(second), second.size());  // offered again too early: untouched
  hosted.recorder->ready = true;
  EXPECT_EQ(hosted.feed(second), 0u);
  EXPECT_EQ(hosted.recorder->opcodes, (std::vector<int>{Message::FILE_WRITE, Message::COPY_PAUSE}));
  hosted.end();
  engine.loop.flushDeletions();
}

TEST(PeerManagerFraming, AnUnreadableFrameOrAChokingHandlerCostsOnlyItsConnection) {
  LocalEngine engine;
  Hosted unknown(engine);
  unknown.feed(rawFrame(8, 11, 0));
  ASSERT_EQ(unknown.closes.reasons.size(), 1u);
  EXPECT_EQ(unknown.closes.reasons[0], "net::newMessage opcode 11");

  Hosted choking(engine);
  choking.recorder->throwOnRecv = true;
  choking.feed(join({frameOf(net::CopyPause()), frameOf(net::CopyPause())}));
  EXPECT_EQ(choking.closes.reasons, std::vector<std::string>{"handler choked"});
  EXPECT_EQ(choking.recorder->opcodes.size(), 1u);  // nothing is read after the close

  Hosted healthy(engine);
  healthy.feed(frameOf(net::CopyPause()));
  EXPECT_EQ(healthy.recorder->opcodes, std::vector<int>{Message::COPY_PAUSE});
  healthy.end();
  EXPECT_TRUE(engine.runUntil([&] { return engine.manager->livePeers().empty(); }));
}

TEST(PeerManagerAccepting, AFirstFrameThatIsNoRequestIsDroppedAndARequestChoosesTheHandler) {
  LocalEngine engine;
  p2p::Connect connect(4242, 100, p2p::PeerStream::MyProtocol, "", "", "");
  const p2p::SocketAddress peer("127.0.0.1", 9);
  net::PeerManager* pm = net::PeerManager::accept(engine.manager.get(), &connect, peer);
  ASSERT_NE(pm, nullptr);
  CloseLog closes;
  pm->setListener(&closes);
  EXPECT_TRUE(pm->carries(4242, peer));

  net::FileAck ack;
  ack.status = Message::CONTINUE;
  std::vector<int8_t> bytes = frameOf(ack);
  ByteBuffer first(bytes.data(), static_cast<int32_t>(bytes.size()));
  pm->handle_recv(&first);
  EXPECT_FALSE(pm->hasHandler());
  EXPECT_TRUE(closes.reasons.empty());

  net::TicketRequest request;  // no such offer: answered NOT_FOUND, and the handler is done
  request.uuid = "22222222-2222-1333-8444-555555555555";
  request.username = "bob@example.com";
  request.ticket = "NOPE";
  bytes = frameOf(request);
  ByteBuffer second(bytes.data(), static_cast<int32_t>(bytes.size()));
  pm->handle_recv(&second);
  EXPECT_EQ(pm->handlerName(), "TicketRequestHandler");
  EXPECT_EQ(closes.reasons, std::vector<std::string>{""});
  EXPECT_EQ(closes.names, std::vector<std::string>{"TicketRequestHandler"});
  pm->close(true, "");
  EXPECT_TRUE(engine.runUntil([&] { return engine.manager->livePeers().empty(); }));
}

// Connections in every state, a receive waiting for the web server and a check of a peer in
// flight all go with the Manager, nothing used after it is freed (run under ASan too).
TEST(ManagerShutdown, LiveConnectionsReceivesAndChecksGoWithTheManager) {
  // A web server that takes connections and never says a word.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = servertest::loopback(0);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 16), 0);
  socklen_t length = sizeof address;
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  LocalEngine engine("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
  engine.manager->ticketSendCode(0, "bob@example.com", {"/x"}, "CODE", engine.manager->wallTime());
  CloseLog closes;
  for (int32_t channel : {1, 2, 3}) {
    p2p::Connect connect(channel, 100, p2p::PeerStream::MyProtocol, "", "", "");
    net::PeerManager* pm = net::PeerManager::accept(engine.manager.get(), &connect, p2p::SocketAddress("127.0.0.1", 9));
    ASSERT_NE(pm, nullptr);
    pm->setListener(&closes);
    if (channel == 1) {  // this one waits for the web server's word on its peer
      net::TicketRequest request;
      request.uuid = "22222222-2222-1333-8444-555555555555";
      request.username = "bob@example.com";
      request.ticket = "CODE";
      std::vector<int8_t> bytes = frameOf(request);
      ByteBuffer chunk(bytes.data(), static_cast<int32_t>(bytes.size()));
      pm->handle_recv(&chunk);
      EXPECT_EQ(pm->handlerName(), "TicketRequestHandler");
    }
  }
  Hosted punching(engine);
  engine.manager->ticketRecv(5, "SOMECODE");
  engine.runUntil([] { return false; }, 50);
  EXPECT_EQ(engine.manager->receives.size(), 1u);
  engine.manager.reset();
  EXPECT_TRUE(closes.reasons.empty());  // listeners are let go first: nobody hears a late word
  close(silent);
}

// What the Manager lets in: no stream without a key agreement, one stream per opening datagram
// however often it comes, and no more than MAX_PENDING_ACCEPTS waiting for their request.
TEST(ManagerAccepting, OnlyKeyedStreamsOncePerConnectAndABoundOnThoseWaiting) {
  LocalEngine engine;
  net::Manager& m = *engine.manager;
  auto keyed = [](int32_t channel) {
    DHKeyExchange dh;
    dh.setPG();
    const std::string pk = base64_encode(dh.genPublicKey());
    std::string p, g;
    dh.getPG(p, g);
    return p2p::Connect(channel, 100, p2p::PeerStream::MyProtocol, p, g, pk);
  };
  const p2p::SocketAddress peer("127.0.0.1", 9);

  p2p::Connect clear(1, 100, p2p::PeerStream::MyProtocol, "", "", "");
  m.handleAccept(&clear, peer);
  EXPECT_TRUE(engine.runUntil([&] { return m.livePeers().empty(); }));  // closed: "encryption required"

  p2p::Connect first = keyed(2);
  m.handleAccept(&first, peer);
  m.handleAccept(&first, peer);  // the same datagram again
  EXPECT_EQ(std::distance(m.livePeers().begin(), m.livePeers().end()), 1);

  for (int32_t channel = 3; channel < 3 + static_cast<int32_t>(net::Manager::MAX_PENDING_ACCEPTS) + 5; ++channel) {
    p2p::Connect next = keyed(channel);
    m.handleAccept(&next, peer);
  }
  EXPECT_EQ(std::distance(m.livePeers().begin(), m.livePeers().end()),
            static_cast<long>(net::Manager::MAX_PENDING_ACCEPTS));
}
