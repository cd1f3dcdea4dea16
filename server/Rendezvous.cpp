#include "Rendezvous.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "Checks.h"
#include "ServerLog.h"
#include "utils/Utils.h"
#include "ServerState.h"
#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/ClientFind.h"
#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Proxy.h"
#include "p2p/messages/ServerEcho.h"

namespace {

const int SOCKET_BUFFER = 4 * 1024 * 1024;
const int BATCH = 64;  // datagrams read per wake-up before looking at the stop pipe again

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string endpoint(const sockaddr_in& address) {
  return ServerState::ipText(address) + ":" + std::to_string(ntohs(address.sin_port));
}

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// A datagram that does not decode as the message it claims to be.
class Malformed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <typename T>
std::unique_ptr<T> decode(ByteBuffer& view, p2p::Message::Opcode opcode) {
  std::unique_ptr<p2p::Message> message;
  try {
    message.reset(p2p::Message::decodeMessage(view));
  } catch (const std::exception& e) {
    throw Malformed(e.what());
  }
  if (message->getOpcode() != opcode) throw Malformed("unexpected opcode");
  return std::unique_ptr<T>(static_cast<T*>(message.release()));
}

}  // namespace

const char* const Rendezvous::kRelayOnlyAlias = "127.0.0.9";

Rendezvous::Rendezvous(ServerState& state, const std::string& host, int port, bool relay)
    : state(state), host(host), port(port), relay(relay) {}

Rendezvous::~Rendezvous() {
  stop();
  if (socketFd >= 0) close(socketFd);
  for (int fd : wakeFds)
    if (fd >= 0) close(fd);
}

void Rendezvous::start() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + host);
  socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socketFd < 0) throw std::runtime_error(std::string("udp socket: ") + strerror(errno));
  if (bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot listen on udp " + host + ":" + std::to_string(port) + ": " +
                             strerror(errno));
  // Room for a relayed burst while the thread waits for the lock; the kernel may grant less.
  setsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
  setsockopt(socketFd, SOL_SOCKET, SO_SNDBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
  if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  self = address;
  thread = std::thread(&Rendezvous::run, this);
}

void Rendezvous::stop() {
  if (!thread.joinable()) return;
  const char wake = 1;
  while (write(wakeFds[1], &wake, 1) < 0 && errno == EINTR) {
  }
  thread.join();
  SERVER_LOG << "udp stopped: received " << stats.received << ", malformed " << stats.malformed
             << ", ignored " << stats.ignored << ", relayed " << stats.relayed << ", refused "
             << stats.refused;
}

void Rendezvous::run() {
  int8_t buffer[DATAGRAM_MAX + 1];
  for (;;) {
    pollfd fds[2] = {{socketFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      SERVER_LOG << "udp poll: " << strerror(errno);
      return;
    }
    if (fds[1].revents) return;
    for (int i = 0; i < BATCH; ++i) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      // MSG_TRUNC: the true size comes back, so an oversized datagram is recognised.
      const ssize_t n = recvfrom(socketFd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      ++stats.received;
      if (n > DATAGRAM_MAX || length != sizeof from || from.sin_family != AF_INET) {
        ++stats.malformed;
        continue;
      }
      try {
        handle(buffer, static_cast<int>(n), from, nowMs());
      } catch (const Malformed& e) {
        ++stats.malformed;
        SERVER_TRACE << "udp malformed from " << endpoint(from) << ": " << e.what();
      } catch (const std::exception& e) {
        std::string note;
        if (errorLines.take(note))
          SERVER_LOG << "udp error from " << endpoint(from) << ": "
                     << Utils::printable(e.what(), 200) << note;
      }
    }
  }
}

void Rendezvous::handle(int8_t* bytes, int n, const sockaddr_in& from, int64_t now) {
  // Answering our own address would feed the socket to itself.
  if (n == 0 || sameEndpoint(from, self)) {
    ++stats.ignored;
    return;
  }
  switch (bytes[0]) {
    case p2p::Message::clientEcho: return handleEcho(bytes, n, from, now);
    case p2p::Message::clientFind: return handleFind(bytes, n, from, now);
    case p2p::Message::proxy: return handleRelay(bytes, n, from, now);
    default:
      ++stats.ignored;
      SERVER_TRACE << "udp ignored opcode " << static_cast<int>(bytes[0]) << " from "
                   << endpoint(from);
  }
}

void Rendezvous::handleEcho(int8_t* bytes, int n, const sockaddr_in& from, int64_t now) {
  ByteBuffer view(bytes, n);
  const std::unique_ptr<p2p::ClientEcho> echo =
      decode<p2p::ClientEcho>(view, p2p::Message::clientEcho);
  const ServerState::EchoResult result = state.echo(
      {echo->uuid, echo->userName, echo->key, echo->computer, echo->internalIp}, from, now);

  p2p::ServerEcho answer;
  answer.code = result.code;
  answer.remoteIp = ServerState::ipText(from);
  answer.challenge = result.challenge;
  ByteBuffer out(DATAGRAM_MAX);
  answer.encode(out);
  send(out.array(), out.position(), from);
  std::string note;
  if (result.code || refusedEchoLines.take(note))
    SERVER_LOG << "udp echo " << endpoint(from) << " uuid=" << Utils::printable(echo->uuid, 64)
               << " user=" << Utils::printable(echo->userName, 64) << " code=" << result.code
               << note;
}

void Rendezvous::handleFind(int8_t* bytes, int n, const sockaddr_in& from, int64_t now) {
  ByteBuffer view(bytes, n);
  const std::unique_ptr<p2p::ClientFind> find =
      decode<p2p::ClientFind>(view, p2p::Message::clientFind);
  if (!Checks::isUuid(find->uuid) || !Checks::isUuid(find->findUuid) ||
      find->uuid == find->findUuid) {
    ++stats.ignored;
    return;
  }
  // Only the computer itself asks: the answer sends the sought one punching towards the
  // finder's address, which must not be anyone's to choose.
  const bool fromFinder = state.echoedFrom(find->uuid, from, now);
  const std::optional<sockaddr_in> sought =
      fromFinder ? state.liveAddress(find->findUuid, now) : std::nullopt;
  if (!sought) {
    ++stats.refused;
    std::string note;
    if (droppedFindLines.take(note))
      SERVER_LOG << "udp find " << endpoint(from) << " uuid=" << find->uuid
                 << " findUuid=" << find->findUuid
                 << (fromFinder ? " not live" : " not from its echo address") << note;
    return;
  }
  const bool outside = outsideRelayPort != 0;
  const std::string proxyIp = outside ? outsideRelayIp : relay ? host : "";
  const int proxyPort = outside ? outsideRelayPort : relay ? port : 0;
  // With an outside relay each peer is named under another loopback address: a direct punch
  // then comes from an address other than the one named and is refused, while the relay reaches
  // the peer's socket all the same. Only for peers on this one computer.
  const std::string soughtIp = outside ? kRelayOnlyAlias : ServerState::ipText(*sought);
  const std::string finderIp = outside ? kRelayOnlyAlias : ServerState::ipText(from);
  // Both sides get the same roles: uuid opens, findUuid accepts.
  p2p::ClientHole toFinder(find->uuid, find->findUuid, soughtIp, ntohs(sought->sin_port), 0, proxyIp, proxyPort);
  p2p::ClientHole toSought(find->uuid, find->findUuid, finderIp, ntohs(from.sin_port), 0, proxyIp, proxyPort);
  ByteBuffer out(DATAGRAM_MAX);
  toFinder.encode(out);
  send(out.array(), out.position(), from);
  out.clear();
  toSought.encode(out);
  send(out.array(), out.position(), *sought);
  SERVER_LOG << "udp hole " << find->uuid << " " << endpoint(from) << " <-> " << find->findUuid
             << " " << endpoint(*sought);
}

void Rendezvous::handleRelay(int8_t* bytes, int n, const sockaddr_in& from, int64_t now) {
  ByteBuffer view(bytes, n);
  const std::unique_ptr<p2p::Proxy> prefix = decode<p2p::Proxy>(view, p2p::Message::proxy);
  const int prefixLength = view.position();
  if (!view.hasRemaining()) throw Malformed("relay prefix without a message");
  if (!relay) {
    ++stats.refused;
    SERVER_TRACE << "udp relay off, dropped from " << endpoint(from);
    return;
  }
  sockaddr_in to;
  std::memcpy(&to, &prefix->addr, sizeof to);
  const ServerState::Relay verdict = state.relay(from, to, static_cast<size_t>(n), now);
  if (verdict == ServerState::Relay::refused || verdict == ServerState::Relay::overRate) {
    ++stats.refused;
    SERVER_TRACE << "udp relay " << endpoint(from) << " -> " << endpoint(to)
                 << (verdict == ServerState::Relay::refused ? " refused" : " over rate");
    return;
  }
  // The receiver learns who sent it from the prefix, so it is rewritten to name the sender.
  p2p::Proxy sender;
  sender.setAddress(reinterpret_cast<const sockaddr*>(&from));
  ByteBuffer head(bytes, prefixLength);
  sender.encode(head);
  send(bytes, n, to);
  ++stats.relayed;
  if (verdict == ServerState::Relay::forwardFirst)
    SERVER_LOG << "udp relay " << endpoint(from) << " <-> " << endpoint(to) << " started";
  else
    SERVER_TRACE << "udp relay " << endpoint(from) << " -> " << endpoint(to) << " " << n;
}

void Rendezvous::send(const int8_t* bytes, int n, const sockaddr_in& to) {
  const ssize_t sent = sendto(socketFd, bytes, static_cast<size_t>(n), 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent != n) {
    SERVER_TRACE << "udp send to " << endpoint(to) << " failed: " << strerror(errno);
  }
}
