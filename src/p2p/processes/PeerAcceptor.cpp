#include "p2p/processes/PeerAcceptor.h"

#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Connect.h"
#include "p2p/uv/UvLog.h"

namespace p2p {

PeerAcceptor::PeerAcceptor(const std::string& myUuid, Server* server, UdpRouter* router, Cb* cb)
    : server(server), router(router), cb(cb), myUuid(myUuid) {
  router->addListener(this);
}

PeerAcceptor::~PeerAcceptor() { router->removeListener(this); }

bool PeerAcceptor::handleRouter(Message* m, const SocketAddress& from) {
  dropExpiredRelays();
  if (m->getOpcode() == Message::connect) {
    cb->handleAccept(static_cast<Connect*>(m), from);
    return true;
  }
  if (m->getOpcode() != Message::clientHole) return false;
  const auto& hole = *static_cast<const ClientHole*>(m);
  // Only the server announces a peer; an attempt already running takes its own messages.
  if (hole.port < 1 || hole.findUuid != myUuid || hole.uuid.empty() || hole.uuid == myUuid ||
      holes.count(hole.uuid) != 0 || !PeerHole::isFromServer(server, from)) {
    return false;
  }
  if (holes.size() >= MAX_HOLES) {
    UV_LOG("WARN") << "PeerAcceptor: " << holes.size() << " attempts running, " << hole.uuid << " refused";
    return true;
  }
  auto owned = std::make_unique<PeerHole>(myUuid, hole.uuid, hole.findUuid, server, router);
  PeerHole* created = owned.get();
  holes.emplace(hole.uuid, std::move(owned));
  created->punch(this);
  created->handleRouter(m, from);
  return true;
}

void PeerAcceptor::handleHole(const std::string& peerUuid, const SocketAddress& address, int32_t) {
  UV_LOG("1") << "hole " << peerUuid << " " << address;
  dropExpiredRelays();
  auto it = holes.find(peerUuid);
  if (it == holes.end()) return;
  if (address.hasProxy() && lingering.size() < MAX_HOLES) {
    lingering.push_back(Lingering{router->getLoop()->now() + RELAY_LINGER_MS,
                                  UdpRouter::RelayRef(router, address.getProxy())});
  }
  // The hole reports from deep inside its own calls: it goes on a later loop turn.
  std::unique_ptr<PeerHole> finished = std::move(it->second);
  holes.erase(it);
  router->getLoop()->deleteSoon(std::move(finished));
}

void PeerAcceptor::dropExpiredRelays() {
  const uint64_t now = router->getLoop()->now();
  while (!lingering.empty() && lingering.front().until <= now) lingering.pop_front();
}

}  // namespace p2p
