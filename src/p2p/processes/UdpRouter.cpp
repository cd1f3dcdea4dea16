#include "p2p/processes/UdpRouter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "p2p/messages/Codec.h"
#include "p2p/messages/Proxy.h"
#include "p2p/uv/UvLog.h"
#include "utils/Utils.h"

namespace p2p {

namespace {

constexpr int kCreateAttempts = 10;
constexpr int kFirstPort = 50000;
constexpr int kPortRange = 1001;  // 50000 to 51000, both ends included

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

const sockaddr_in& endpointOf(const SocketAddress& address) {
  return *reinterpret_cast<const sockaddr_in*>(address.getSockaddr());
}

// Writes the datagram for m to addr into buffer: the Proxy prefix first when addr lies behind a
// relay. Returns where the datagram goes. Throws what encoding throws.
const sockaddr* encodeDatagram(ByteBuffer& buffer, Message* m, const SocketAddress& addr) {
  const sockaddr* destination = addr.getSockaddr();
  if (addr.hasProxy()) {
    Proxy prefix;
    prefix.setAddress(addr.getSockaddr());
    prefix.encode(buffer);
    destination = addr.getProxySockaddr();
  }
  m->encode(buffer);
  return destination;
}

// A fresh socket per attempt: a failed one has already closed itself.
UvUdp* createUdp(UvLoop* loop, int forcePort, UvUdp::RecvCb* router) {
  std::exception_ptr last;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const int port = forcePort != 0 ? forcePort : kFirstPort + Utils::randomInt() % kPortRange;
    try {
      sockaddr_in any;
      checkStatus("uv_ip4_addr", uv_ip4_addr("0.0.0.0", port, &any));
      return new UvUdp(reinterpret_cast<const sockaddr*>(&any), loop, router);
    } catch (const std::exception& e) {
      UV_LOG("1") << "UdpRouter: port " << port << " refused: " << e.what();
      last = std::current_exception();
    }
  }
  std::rethrow_exception(last);
}

}  // namespace


// ---- UdpSendCb ----

UdpRouter::UdpSendCb::UdpSendCb(UdpRouter* router)
    : buffer(new ByteBuffer(UvUdp::BUFFER_SIZE)), router(router, router->liveness) {}

UdpRouter::UdpSendCb::~UdpSendCb() { delete buffer; }

void UdpRouter::UdpSendCb::handleSend(int8_t*, int) { finished(); }

void UdpRouter::UdpSendCb::handleSendError(int status, const std::string& reason) {
  // Cancelled sends are the normal end of a socket closing with datagrams queued.
  UdpRouter* alive = router.get();
  if (alive && status != UV_ECANCELED) {
    alive->warnSend(SocketAddress(), reason + " " + std::to_string(status) + " " + uv_strerror(status));
  }
  finished();
}

void UdpRouter::UdpSendCb::finished() {
  if (UdpRouter* alive = router.get()) {
    alive->recycle(this);
    return;
  }
  owned().reset();
}

// ---- UdpRouter ----

UdpRouter::UdpRouter(UvLoop* loop) : UdpRouter(loop, 0) {}

UdpRouter::UdpRouter(UvLoop* loop, int port) : loop(loop), udp(nullptr), gate(loop) {
  udp = createUdp(loop, port, this);
  // Every peer stream shares this one socket: deep kernel buffers ride out bursts of a window.
  udp->setBufferSizes(SOCKET_BUFFER_SIZE);
}

UdpRouter::~UdpRouter() {
  // Closing the socket first: libuv reads no queued datagram after that, so the sends still in
  // flight only wait for their completion, which finds the router gone and frees them.
  delete udp;
  for (UdpSendCb* sendCb : sendCbs) delete sendCb;
}

void UdpRouter::addListener(Cb* cb) { listeners.push_back(cb); }

void UdpRouter::removeListener(Cb* cb) {
  listeners.erase(std::remove(listeners.begin(), listeners.end(), cb), listeners.end());
  if (dispatching) std::replace(offered.begin(), offered.end(), cb, static_cast<Cb*>(nullptr));
  std::replace(readEndCalls.begin(), readEndCalls.end(), cb, static_cast<Cb*>(nullptr));
}

void UdpRouter::addRelay(const SocketAddress& relay) {
  if (!relay.isValid()) return;
  const sockaddr_in& added = endpointOf(relay);
  for (Relay& known : relays) {
    if (sameEndpoint(known.endpoint, added)) {
      ++known.users;
      return;
    }
  }
  relays.push_back(Relay{added, 1});
}

void UdpRouter::removeRelay(const SocketAddress& relay) {
  if (!relay.isValid()) return;
  const sockaddr_in& gone = endpointOf(relay);
  auto it = std::find_if(relays.begin(), relays.end(), [&](const Relay& r) { return sameEndpoint(r.endpoint, gone); });
  if (it == relays.end()) return;
  if (--it->users == 0) relays.erase(it);
}

bool UdpRouter::isRelay(const SocketAddress& address) const {
  if (!address.isValid()) return false;
  const sockaddr_in& wanted = endpointOf(address);
  return std::any_of(relays.begin(), relays.end(), [&](const Relay& r) { return sameEndpoint(r.endpoint, wanted); });
}

// ---- RelayRef ----

UdpRouter::RelayRef::RelayRef(UdpRouter* router, const SocketAddress& relay) {
  if (!relay.isValid()) return;
  _relay.setAddress(relay.getSockaddr());  // the endpoint alone
  _router = router;
  _router->addRelay(_relay);
}

UdpRouter::RelayRef::RelayRef(RelayRef&& other) noexcept : _router(other._router), _relay(other._relay) {
  other._router = nullptr;
  other._relay = SocketAddress();
}

UdpRouter::RelayRef& UdpRouter::RelayRef::operator=(RelayRef&& other) noexcept {
  if (this != &other) {
    reset();
    _router = other._router;
    _relay = other._relay;
    other._router = nullptr;
    other._relay = SocketAddress();
  }
  return *this;
}

void UdpRouter::RelayRef::reset() {
  if (_router) _router->removeRelay(_relay);
  _router = nullptr;
  _relay = SocketAddress();
}

// ---- sending ----

void UdpRouter::send(Message* m, const SocketAddress& addr) {
  UV_LOG("2") << "UdpRouter::send " << *m;
  if (!addr.isValid()) {
    warnSend(addr, "no address");
    return;
  }
  // Once datagrams are held, the rest of the burst joins them even where segmentation has just
  // been refused, or it would overtake them.
  if (bursts > 0 && (udp->canSegment() || heldCount > 0)) {
    hold(m, addr);
    return;
  }
  UdpSendCb* sendCb = takeSendCb();
  ByteBuffer& buffer = *sendCb->buffer;
  buffer.clear();
  buffer.limit(MTU_LENGTH);
  const sockaddr* destination;
  try {
    destination = encodeDatagram(buffer, m, addr);
  } catch (const std::exception& e) {
    recycle(sendCb);  // never handed to libuv
    warnSend(addr, e.what());
    return;
  }
  hand(sendCb, destination, addr);
}

UdpRouter::UdpSendCb* UdpRouter::takeSendCb() {
  if (sendCbs.empty()) return new UdpSendCb(this);
  UdpSendCb* sendCb = sendCbs.back();
  sendCbs.pop_back();
  return sendCb;
}

// Gives the datagram in sendCb's buffer to libuv; false when it refused (logged, recycled).
bool UdpRouter::hand(UdpSendCb* sendCb, const sockaddr* to, const SocketAddress& forLog) {
  try {
    udp->send(sendCb->buffer->array(), sendCb->buffer->position(), to, sendCb);
  } catch (const std::exception& e) {
    recycle(sendCb);
    warnSend(forLog, e.what());
    return false;
  }
  return true;
}

// ---- bursts ----

UdpRouter::Burst::Burst(UdpRouter* router) : router(router) { ++router->bursts; }

UdpRouter::Burst::~Burst() {
  if (--router->bursts == 0) router->sendHeld();
}

// Appends the datagram to the held run, or first sends the run when the datagram cannot join it.
void UdpRouter::hold(Message* m, const SocketAddress& addr) {
  if (held.empty()) held.resize(static_cast<size_t>(UvUdp::MAX_SEGMENTED_BYTES));
  const sockaddr_in& to =
      *reinterpret_cast<const sockaddr_in*>(addr.hasProxy() ? addr.getProxySockaddr() : addr.getSockaddr());
  const bool full = heldCount == UvUdp::MAX_SEGMENTS || heldBytes + MTU_LENGTH > UvUdp::MAX_SEGMENTED_BYTES;
  if (heldCount > 0 && (heldClosed || full || !sameEndpoint(to, heldTo))) sendHeld();
  ByteBuffer view(held.data() + heldBytes, MTU_LENGTH);
  try {
    encodeDatagram(view, m, addr);
  } catch (const std::exception& e) {
    warnSend(addr, e.what());
    return;
  }
  const int length = view.position();
  if (heldCount > 0 && length > heldSegment) {
    // Longer than the run's datagrams: the run leaves first, and this one starts the next.
    const int at = heldBytes;
    sendHeld();
    std::memmove(held.data(), held.data() + at, static_cast<size_t>(length));
  }
  if (heldCount == 0) {
    heldSegment = length;
    heldTo = to;
  } else if (length < heldSegment) {
    heldClosed = true;  // only the last segment may be shorter
  }
  heldBytes += length;
  ++heldCount;
}

// One system call where the kernel takes it (a lone datagram too: it then skips libuv's queue
// and completion); else datagram by datagram through libuv, which also queues them while the
// socket's buffer is full.
void UdpRouter::sendHeld() {
  if (heldCount == 0) return;
  const int bytes = heldBytes;
  const int segment = heldSegment;
  const sockaddr_in to = heldTo;
  heldCount = heldBytes = 0;
  heldClosed = false;
  const auto* destination = reinterpret_cast<const sockaddr*>(&to);
  int status;
  try {
    status = udp->sendSegments(held.data(), bytes, segment, destination);
  } catch (const std::exception& e) {
    warnSend(SocketAddress(destination), e.what());
    return;
  }
  if (status == 0) return;
  if (status != UV_EAGAIN && status != UV_ENOTSUP) {
    warnSend(SocketAddress(destination), std::string("segmented send: ") + uv_strerror(status));
    return;
  }
  for (int offset = 0; offset < bytes; offset += segment) {
    UdpSendCb* sendCb = takeSendCb();
    sendCb->buffer->clear();
    sendCb->buffer->put(held.data() + offset, std::min(segment, bytes - offset));
    if (!hand(sendCb, destination, SocketAddress(destination))) return;
  }
}

void UdpRouter::recycle(UdpSendCb* sendCb) {
  // A burst may have made many; only a bounded number wait for the next one.
  if (sendCbs.size() >= MAX_FREE_SEND_CBS) {
    delete sendCb;
    return;
  }
  sendCbs.push_back(sendCb);
}

// ---- receiving ----

void UdpRouter::handleRecv(int8_t* bytes, int n, const sockaddr* addr) {
  if (n == 0) return;  // an empty datagram, or libuv has nothing more to read
  const bool ownRead = !reading;
  if (ownRead) handleReadBegin();
  try {
    receive(bytes, n, addr);
  } catch (const std::exception& e) {
    SocketAddress from;
    if (addr && addr->sa_family == AF_INET) from.setAddress(addr);
    warnRecv(from, e.what());
  }
  if (ownRead) handleReadEnd();
}

void UdpRouter::handleReadBegin() {
  reading = true;
  ++bursts;
}

void UdpRouter::handleReadEnd() {
  // Index by index: a call may add further ones, and removed listeners are nulled.
  for (size_t i = 0; i < readEndCalls.size(); ++i) {
    Cb* cb = readEndCalls[i];
    if (!cb) continue;
    try {
      cb->handleReadEnd();
    } catch (const std::exception& e) {
      warnRecv(SocketAddress(), e.what());
    }
  }
  readEndCalls.clear();
  reading = false;
  if (--bursts == 0) sendHeld();
}

bool UdpRouter::callAtReadEnd(Cb* cb) {
  if (!reading) return false;
  readEndCalls.push_back(cb);
  return true;
}

void UdpRouter::receive(int8_t* bytes, int n, const sockaddr* addr) {
  SocketAddress from(addr);
  ByteBuffer view(bytes, n);
  std::unique_ptr<Message> m(Message::decodeMessage(view));
  if (m->getOpcode() == Message::proxy) {
    if (!isRelay(from)) {
      warnRecv(from, "Proxy prefix from a sender that is no known relay");
      return;
    }
    // The relay names the peer on its far side: that peer is the sender, reached through the relay.
    SocketAddress relayed(&static_cast<Proxy*>(m.get())->addr);
    relayed.setProxy(from.getSockaddr());
    from = relayed;
    m.reset(Message::decodeMessage(view));
  }
  if (m->getOpcode() == Message::codec) {
    UV_LOG("1") << "UdpRouter::handleRecv " << *m;
    const int8_t key = static_cast<Codec*>(m.get())->key;
    const int start = view.position();
    ByteBuffer inPlace(bytes, n);
    inPlace.position(start);
    xorBuffer(key, view, inPlace);
    view.position(start);
    m.reset(Message::decodeMessage(view));
  }
  dispatch(m.get(), from);
}

void UdpRouter::dispatch(Message* m, const SocketAddress& from) {
  // A snapshot, because listeners come and go during the dispatch; removeListener nulls the
  // ones that leave, and those added meanwhile are not in it.
  offered.assign(listeners.begin(), listeners.end());
  dispatching = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{dispatching};
  for (size_t i = 0; i < offered.size(); ++i) {
    Cb* cb = offered[i];
    if (cb && cb->handleRouter(m, from)) return;
  }
}

void UdpRouter::handleRecvError(int status, const std::string& reason) {
  warnRecv(SocketAddress(), reason + " (" + std::to_string(status) + ")");
}

void UdpRouter::warnRecv(const SocketAddress& from, const std::string& what) {
  uint64_t suppressed = 0;
  if (!recvWarnings.take(suppressed)) return;
  UV_LOG("WARN") << "UdpRouter: datagram dropped, " << from << ": " << what
                 << (suppressed ? " (suppressed " + std::to_string(suppressed) + ")" : std::string());
}

void UdpRouter::warnSend(const SocketAddress& to, const std::string& what) {
  uint64_t suppressed = 0;
  if (!sendWarnings.take(suppressed)) return;
  UV_LOG("WARN") << "UdpRouter: send dropped, " << to << ": " << what
                 << (suppressed ? " (suppressed " + std::to_string(suppressed) + ")" : std::string());
}

}  // namespace p2p
