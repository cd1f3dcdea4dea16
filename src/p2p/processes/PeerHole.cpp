#include "p2p/processes/PeerHole.h"

#include <algorithm>
#include <stdexcept>

#include "p2p/messages/ClientFind.h"
#include "p2p/messages/ClientHole.h"
#include "p2p/processes/Server.h"
#include "p2p/uv/UvLog.h"

namespace p2p {

namespace {

constexpr int kMaxPort = 65535;

// An address named in a message, or nothing: a bad one is logged and costs only itself.
bool parseAddress(const std::string& ip, int32_t port, SocketAddress& out) {
  if (port < 1 || port > kMaxPort) {
    UV_LOG("WARN") << "PeerHole: port out of range " << port;
    return false;
  }
  try {
    out.setAddress(ip, port);
    return true;
  } catch (const std::exception& e) {
    UV_LOG("WARN") << "PeerHole: address not usable: " << e.what();
    return false;
  }
}

}  // namespace

PeerHole::PeerHole(const std::string& myUuid, const std::string& uuid, const std::string& findUuid, Server* server,
                   UdpRouter* router)
    : server(server),
      router(router),
      timer(new UvTimer(router->getLoop())),
      myUuid(myUuid),
      uuid(uuid),
      findUuid(findUuid),
      peerUuid(uuid == myUuid ? findUuid : uuid),
      clientFind(new ClientFind(myUuid, findUuid, server->getLocalIp(), router->getUdp()->getPort())),
      clientHole(new ClientHole(uuid, findUuid, "", 0, myProtocol, "", 0)) {
  restartTicks();
  router->addListener(this);
}

PeerHole::~PeerHole() {
  UV_LOG("1") << "~PeerHole() " << this;
  router->removeListener(this);
}

bool PeerHole::isFromServer(const Server* server, const SocketAddress& from) {
  return !from.hasProxy() && from.sameEndpoint(server->getUdpAddr());
}

void PeerHole::punch(Cb* callback) {
  state = WaitingForHoleFromServer;
  retries = 0;
  protocol = myProtocol;
  cb = callback;
  restartTicks();
  if (opening()) sendFindToServer();
}

// The first tick of an attempt comes one period after its start, however the timer stood.
void PeerHole::restartTicks() {
  nextTick = router->getLoop()->now() + TICK_MS;
  timer->start(TICK_MS, TICK_MS, this);
}

bool PeerHole::handleRouter(Message* m, const SocketAddress& from) {
  if (m->getOpcode() != Message::clientHole) return false;
  const auto& hole = *static_cast<const ClientHole*>(m);
  if (hole.uuid != uuid || hole.findUuid != findUuid) {
    UV_LOG("2") << "recv invalid" << " state:" << state << " " << hole << " " << from;
    return false;
  }
  if (state == Done) return false;
  UV_LOG("2") << "recv" << " state:" << state << " " << hole << " " << from;
  if (state == WaitingForHoleFromServer) {
    takeServerHole(hole, from);
  } else {
    takePeerHole(hole, from);
  }
  return true;
}

void PeerHole::takeServerHole(const ClientHole& hole, const SocketAddress& from) {
  if (hole.port < 1 || hole.ip.empty()) return;  // a peer's punch before the server spoke
  if (!isFromServer(server, from)) {
    UV_LOG("1") << "PeerHole: peer named by another than the server, ignored: " << from;
    return;
  }
  // Both ends behind one address translator, or on one computer: the server sees our own IP.
  const std::string ip = hole.ip == server->getLocalIp() ? "127.0.0.1" : hole.ip;
  SocketAddress peer;
  if (!parseAddress(ip, hole.port, peer)) return;
  if (!hole.proxyIp.empty()) {
    SocketAddress named;
    if (parseAddress(hole.proxyIp, hole.proxyPort, named)) {
      proxyAddress = named;
      relay = UdpRouter::RelayRef(router, named);
    }
  }
  peerAddressFromServer = peer;
  namedIp = hole.ip;
  sendHoleToPeer();
  state = WaitingForHoleFromPeer;
}

void PeerHole::takePeerHole(const ClientHole& hole, const SocketAddress& from) {
  if (hole.port > 0) return;  // the server again: this attempt already knows the peer
  if (!fromNamedPeer(from)) {
    UV_LOG("1") << "PeerHole: punch from another than the peer the server named, ignored: " << from;
    return;
  }
  if (hole.protocol < 1) {
    UV_LOG("1") << "PeerHole: protocol " << hole.protocol << " ignored from " << from;
    return;
  }
  peerAddressFromPeer = from;
  protocol = std::min(protocol, hole.protocol);
  sendAckToPeer();
  if (hole.port == -1) {
    finish(peerAddressFromPeer);
  } else {
    state = WaitingForAckFromPeer;
  }
}

// Through the relay the server named, the relay says who sent it: that must be the peer too, or
// any other computer the relay serves could answer first and be taken for it.
bool PeerHole::fromNamedPeer(const SocketAddress& from) const {
  if (!from.hasProxy()) return from.sameIp(peerAddressFromServer);
  return proxyAddress.isValid() && from.getProxy().sameEndpoint(proxyAddress) &&
         (from.getIp() == namedIp || from.sameIp(peerAddressFromServer));
}

void PeerHole::handleTimer() {
  const uint64_t now = router->getLoop()->now();
  if (now < nextTick) return;
  nextTick = now + TICK_MS;
  UV_LOG("2") << "PeerHole timer";
  if (state == Done) return;
  if (retries == RELAY_RETRIES && peerAddressFromServer.isValid() && proxyAddress.isValid()) {
    peerAddressFromServer.setProxy(proxyAddress.getSockaddr());
  }
  if (retries == LAST_RETRIES) {
    finish(SocketAddress());
    return;
  }
  sendHoleToPeer();
  if (opening()) sendFindToServer();
  ++retries;
}

void PeerHole::finish(const SocketAddress& result) {
  state = Done;
  timer->stop();  // a finished attempt keeps no timer busy; punch() starts it again
  // Copies: the callee may start the next attempt (punch), which resets the attempt's fields.
  Cb* target = cb;
  const std::string peer = peerUuid;
  const SocketAddress address = result;
  const int32_t agreed = protocol;
  if (target) target->handleHole(peer, address, agreed);
}

void PeerHole::sendFindToServer() {
  const SocketAddress to = server->getUdpAddr();
  if (!to.isValid()) return;
  clientFind->localIp = server->getLocalIp();  // learnt by the server object meanwhile, maybe
  UV_LOG("2") << "send" << " state:" << state << " " << *clientFind << " " << to;
  router->send(clientFind.get(), to);
}

void PeerHole::sendHoleToPeer() {
  if (!peerAddressFromServer.isValid()) return;
  clientHole->port = 0;
  clientHole->protocol = protocol;
  UV_LOG("2") << "send" << " state:" << state << " " << *clientHole << " " << peerAddressFromServer;
  router->send(clientHole.get(), peerAddressFromServer);
}

void PeerHole::sendAckToPeer() {
  if (!peerAddressFromPeer.isValid()) throw std::runtime_error("peer address not valid");
  clientHole->port = -1;
  clientHole->protocol = protocol;
  UV_LOG("2") << "send" << " state:" << state << " " << *clientHole << " " << peerAddressFromPeer;
  router->send(clientHole.get(), peerAddressFromPeer);
}

}  // namespace p2p
