#include "net/handlers/PeerManager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "net/handlers/FilePort.h"
#include "net/handlers/Manager.h"
#include "net/messages/Message.h"
#include "p2p/messages/Connect.h"
#include "p2p/processes/Server.h"
#include "p2p/requests/Verify.h"
#include "p2p/uv/UvLog.h"
#include "utils/Sha1.h"

namespace net {

const std::string PeerManager::UNDEFINED = "undefined";

// ---- construction and the end ----

PeerManager::PeerManager(Manager* manager)
    : manager(manager),
      recvBuffer(std::make_shared<ByteBuffer>(BUFFER_SIZE)),
      sendBuffer(std::make_shared<ByteBuffer>(BUFFER_SIZE)) {
  sendBuffer->flip();  // empty for reading: nothing to send yet
  manager->addPeer(this);
}

PeerManager* PeerManager::accept(Manager* manager, const p2p::Connect* connect, const p2p::SocketAddress& address) {
  std::unique_ptr<PeerManager> pm(new PeerManager(manager));
  pm->accepting = true;
  pm->stream = std::make_unique<p2p::PeerStream>(manager->getRouter(), pm.get());
  pm->stream->holdAtMost(HELD_BEFORE_REQUEST);
  if (!pm->stream->accept(connect, address)) return nullptr;  // refused: nothing was kept
  PeerManager* accepted = pm.release();
  if (accepted->closing) return accepted;  // the key agreement failed; it goes on its own
  accepted->requestTimer = std::make_unique<p2p::UvTimer>(manager->getLoop());
  accepted->requestTimer->start(REQUEST_TIMEOUT_MS, 0, accepted);
  return accepted;
}

PeerManager::PeerManager(Manager* manager, const std::string& peerUuid, const HandlerFactory& factory)
    : PeerManager(manager) {
  this->peerUuid = peerUuid;
  handler.reset(factory(this));
  retries = HOLE_RETRIES;
  hole = std::make_unique<p2p::PeerHole>(uuid(), uuid(), peerUuid, manager->getServer(), manager->getRouter());
  hole->punch(this);
}

PeerManager::~PeerManager() {
  manager->removePeer(this);
  hole.reset();
  stream.reset();
  handler.reset();  // detaches its pending file and web-server requests
  requestTimer.reset();
}

void PeerManager::deleteSoon() {
  if (deleting) return;
  deleting = true;
  if (requestTimer) requestTimer->stop();
  manager->getLoop()->deleteSoon(std::unique_ptr<PeerManager>(this));
}

void PeerManager::reportClose(const std::string& reason) {
  if (closeReported) return;
  closeReported = true;
  // A stranger's end is the Manager's to tell, within its budget.
  if (!accepting || handler) UV_LOG("1") << "closed " << handlerName() << " " << reason;
  if (listener) listener->onClose(this, reason);
}

void PeerManager::close(bool immidiately, const std::string& reason) {
  if (closing) {
    if (immidiately && stream) stream->close(true, reason);
    return;
  }
  closing = true;
  reportClose(reason);
  if (stream) {
    stream->close(immidiately, reason);  // handle_close follows, now or once drained
  } else {
    deleteSoon();  // still punching: nothing to wind down
  }
}

void PeerManager::handle_close(const std::string& reason) {
  // An end that the handler did not ask for is a failure, whatever the stream says.
  reportClose(reason.empty() ? "connection closed by peer" : reason);
  closing = true;
  deleteSoon();
}

// ---- hole and stream ----

void PeerManager::handleHole(const std::string& uuid, const p2p::SocketAddress& addr, int32_t protocol) {
  UV_LOG("1") << "hole " << uuid << " " << addr << " " << protocol;
  if (closing) return;
  if (!addr.isValid()) {
    if (retries < 1) {
      close(false, "can't find peer");
      return;
    }
    --retries;
    hole->punch(this);
    return;
  }
  guarded([&] {
    stream = std::make_unique<p2p::PeerStream>(manager->getRouter(), this);
    stream->connect(addr);
  });
}

void PeerManager::handle_connect() {
  UV_LOG("1") << "connected";
  guarded([this] {
    if (handler) handler->handleSend();
  });
}

void PeerManager::handle_send() {
  guarded([this] {
    if (sendBuffer->hasRemaining()) stream->send(sendBuffer.get());
    if (!sendBuffer->hasRemaining() && handler && !closing) handler->handleSend();
  });
}

template <class F>
void PeerManager::guarded(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    UV_LOG("WARN") << handlerName() << ": " << e.what();
    close(false, e.what());
  } catch (...) {
    close(false, "unknown error");
  }
}

// ---- receiving: frames out of the byte stream ----

void PeerManager::handle_recv(ByteBuffer* chunk) {
  while (chunk->hasRemaining()) {
    if (closing) {
      chunk->position(chunk->limit());  // nobody reads any more; let the stream drain
      return;
    }
    // While the handler still uses the last frame's bytes in place, the rest waits in the stream.
    if (handler && !handler->recvReady()) {
      heldBack = true;
      return;
    }
    if (recvLength == 0 && !takeLength(chunk)) continue;  // the piece is used up, or the connection closing
    const int32_t n = std::min(chunk->remaining(), recvBuffer->remaining());
    recvBuffer->put(chunk->array(), chunk->position(), n);
    chunk->position(chunk->position() + n);
    if (recvBuffer->hasRemaining()) return;
    recvLength = 0;
    recvBuffer->flip();
    dispatch();
  }
}

// Gathers the next frame's length, which may arrive in pieces; false until it is whole or when
// it is illegal (the connection is then closing).
bool PeerManager::takeLength(ByteBuffer* chunk) {
  while (lengthHave < 4 && chunk->hasRemaining()) lengthBytes[lengthHave++] = static_cast<uint8_t>(chunk->get());
  if (lengthHave < 4) return false;
  lengthHave = 0;
  ByteBuffer field(reinterpret_cast<int8_t*>(lengthBytes), 4);
  const int32_t length = field.getInt();
  if (length < MIN_FRAME_LENGTH || length > BUFFER_SIZE) {
    const std::string reason = "Illegal message length " + std::to_string(length);
    UV_LOG("WARN") << reason;
    close(false, reason);
    return false;
  }
  recvLength = length;
  recvBuffer->clear();
  recvBuffer->limit(length - 4);
  return true;
}

void PeerManager::dispatch() {
  guarded([this] {
    std::unique_ptr<Message> message(Message::decodeMessage(*recvBuffer));
    if (handler) {
      handler->handleRecv(message.get());
    } else {
      chooseHandler(message.get());
    }
  });
}

// The first frame of an accepted connection says what the peer wants.
void PeerManager::chooseHandler(const Message* first) {
  std::unique_ptr<IHandler> chosen = manager->newAcceptedHandler(this, first);
  if (!chosen) {
    // One datagram can carry a hundred such frames.
    manager->logStranger([&](std::ostream& log) {
      log << "first message " << first->getOpcode() << " from " << address() << " is no request, dropped";
    });
    return;
  }
  if (requestTimer) requestTimer->stop();
  handler = std::move(chosen);
  if (accepting) {
    stream->holdAtMost(p2p::PeerStream::RecvPoolSize);
    manager->acceptGate().onRequest(stream->getAddress());
  }
  handler->handleSend();  // the request is served from the first pump on
}

void PeerManager::handleTimer() {
  if (!handler && !closing) close(false, "no request");
}

// ---- sending ----

bool PeerManager::canSend() const {
  return !closing && stream && stream->isConnected() && !sendBuffer->hasRemaining();
}

bool PeerManager::send(const Message* m) {
  if (closing || !stream || sendBuffer->hasRemaining()) return false;
  sendBuffer->clear();
  try {
    m->encode(*sendBuffer);
  } catch (...) {
    sendBuffer->clear();
    sendBuffer->flip();  // nothing half-encoded is ever sent
    throw;
  }
  sendBuffer->flip();
  stream->send(sendBuffer.get());
  if (!sendBuffer->hasRemaining()) pumpSoon();
  return true;
}

// Once per turn at most: a frame the stream took whole asks for no acknowledgement that would
// pump the handler.
void PeerManager::pumpSoon() {
  if (pumpDue) return;
  pumpDue = true;
  manager->getLoop()->post([this, watch = liveness.watch()] {
    if (!watch.alive()) return;
    pumpDue = false;
    if (closing || !handler || sendBuffer->hasRemaining()) return;
    guarded([this] { handler->handleSend(); });
  });
}

// ---- what the handler sees ----

const std::string& PeerManager::uuid() const { return manager->getProperties()->uuid; }
const std::string& PeerManager::username() const { return manager->getProperties()->username; }
const std::string& PeerManager::computerName() const { return manager->getProperties()->computerName; }
const std::string& PeerManager::recvPath() const { return manager->getProperties()->recvPath; }
p2p::UvLoop* PeerManager::loop() const { return manager->getLoop(); }
p2p::Server* PeerManager::server() const { return manager->getServer(); }

void PeerManager::makeSignature(const std::string& peeruuid, std::string& signature) const {
  const Properties* p = manager->getProperties();
  Sha1::getInstance().makeEncodedDigest(p->uuid + peeruuid + p->username + p->userkey, signature);
}

void PeerManager::verify(const std::string& peerUuid, const std::string& peerUsername,
                         const std::string& peerSignature, p2p::Server::ServerCb<bool>* cb) {
  const std::string peerIp = stream ? stream->getAddress().getIp() : std::string();
  auto* request = new p2p::VerifyRequest(uuid(), peerUuid, peerUsername, peerIp, peerSignature);
  manager->getServer()->execLimited(request, cb);
}

void PeerManager::recvReadyAgain() {
  if (!heldBack || closing || !stream || (handler && !handler->recvReady())) return;
  heldBack = false;
  stream->offerAgain();
}

void PeerManager::notify(void* data) {
  if (listener) listener->onNotify(this, data);
}

IContext::Ticket PeerManager::findTicket(const std::string& code, const std::string& username) {
  return manager->findTicket(code, username);
}

std::string PeerManager::handlerName() const { return handler ? handler->name() : UNDEFINED; }

void PeerManager::pause() {
  if (closing) return;
  if (!stream || !stream->isConnected()) {
    close(true, "Paused");
    return;
  }
  guarded([this] {
    if (handler) handler->pause();
  });
}

FilePort* PeerManager::files() {
  if (!filePort) filePort = newUvFilePort(manager->getLoop());
  return filePort.get();
}

bool PeerManager::carries(int32_t channelId, const p2p::SocketAddress& address) const {
  return stream && stream->getChannelId() == channelId && stream->getAddress().sameEndpoint(address);
}

p2p::SocketAddress PeerManager::address() const { return stream ? stream->getAddress() : p2p::SocketAddress(); }

std::shared_ptr<void> PeerManager::holdBuffers() const {
  struct Both {
    std::shared_ptr<ByteBuffer> recv, send;
  };
  return std::make_shared<Both>(Both{recvBuffer, sendBuffer});
}

}  // namespace net
