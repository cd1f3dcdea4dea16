#include "UdpChaos.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "p2p/messages/Message.h"
#include "p2p/messages/Proxy.h"
#include "utils/ByteBuffer.h"

namespace udpchaos {

namespace {

constexpr int kBatch = 64;             // datagrams per recvmmsg
constexpr int kBatchesPerTurn = 16;    // then queued datagrams get their turn to leave
constexpr int kSocketBuffer = 4 << 20;  // rides out bursts; the kernel may grant less
constexpr size_t kMaxFreePackets = 4096;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;
// A rate-limited link queues at most this much time's worth of data, or 64 KiB, whichever is more.
constexpr int64_t kLinkBacklogNs = 100 * kNsPerMs;
constexpr int64_t kLinkBacklogBytes = 64 * 1024;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint64_t endpointKey(const sockaddr_in& a) {
  return (static_cast<uint64_t>(ntohl(a.sin_addr.s_addr)) << 16) | ntohs(a.sin_port);
}

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The relay thread is the only writer, so a plain load and store is enough.
void bump(std::atomic<uint64_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void checkShare(double share, const char* name) {
  if (!(share >= 0 && share <= 1)) throw std::invalid_argument(std::string("udp-chaos: ") + name + " must be from 0 to 1");
}

void checkOptions(const UdpChaos::Options& o) {
  checkShare(o.loss, "loss");
  checkShare(o.duplicate, "duplicate");
  checkShare(o.reorder, "reorder");
  if (o.port < 0 || o.port > 65535) throw std::invalid_argument("udp-chaos: port out of range");
  if (o.delayMs < 0 || o.delayMs > 60000) throw std::invalid_argument("udp-chaos: delay must be from 0 to 60000 ms");
  if (o.reorderHoldMs < 0 || o.reorderHoldMs > 60000)
    throw std::invalid_argument("udp-chaos: reorder hold must be from 0 to 60000 ms");
  if (o.rateBytesPerSecond < 0) throw std::invalid_argument("udp-chaos: rate must not be negative");
  if (o.spareFirst < 0) throw std::invalid_argument("udp-chaos: spare count must not be negative");
  if (o.maxQueued < 1) throw std::invalid_argument("udp-chaos: the queue needs room for one datagram");
}

}  // namespace

UdpChaos::UdpChaos(const Options& options) : options(options) {
  checkOptions(options);
  bound.sin_family = AF_INET;
  bound.sin_port = htons(static_cast<uint16_t>(options.port));
  if (inet_pton(AF_INET, options.host.c_str(), &bound.sin_addr) != 1)
    throw std::invalid_argument("udp-chaos: not an IPv4 address: " + options.host);

  fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0 || wakeFd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    if (wakeFd >= 0) ::close(wakeFd);
    throw std::runtime_error("udp-chaos: cannot bind " + options.host + ":" + std::to_string(options.port) + ": " +
                             reason);
  }
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  boundPort = ntohs(bound.sin_port);
  thread = std::thread([this] { run(); });
}

UdpChaos::~UdpChaos() {
  stop();
  while (!dueQueue.empty()) {
    delete dueQueue.top().packet;
    dueQueue.pop();
  }
  for (Direction* d : heldDirections) delete d->held;
  for (Packet* p : freePackets) delete p;
  ::close(fd);
  ::close(wakeFd);
}

p2p::SocketAddress UdpChaos::address() const {
  sockaddr_in reach = bound;
  if (reach.sin_addr.s_addr == htonl(INADDR_ANY)) reach.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return p2p::SocketAddress(reinterpret_cast<const sockaddr*>(&reach));
}

void UdpChaos::stop() {
  if (!stopped.exchange(true)) {
    const uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0) {
      // Cannot happen short of a counter overflow; the thread then still sees `stopped` on its next wake.
    }
  }
  std::lock_guard<std::mutex> lock(joinLock);
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

UdpChaos::Counters UdpChaos::counters(const p2p::SocketAddress& from, const p2p::SocketAddress& to) const {
  Counters c;
  if (!from.isValid() || !to.isValid()) return c;
  const DirectionKey key{endpointKey(*reinterpret_cast<const sockaddr_in*>(from.getSockaddr())),
                         endpointKey(*reinterpret_cast<const sockaddr_in*>(to.getSockaddr()))};
  std::lock_guard<std::mutex> lock(directionsLock);
  auto found = directions.find(key);
  if (found == directions.end()) return c;
  const Direction& d = *found->second;
  c.received = d.received.load(std::memory_order_relaxed);
  c.forwarded = d.forwarded.load(std::memory_order_relaxed);
  c.dropped = d.dropped.load(std::memory_order_relaxed);
  c.duplicated = d.duplicated.load(std::memory_order_relaxed);
  c.reordered = d.reordered.load(std::memory_order_relaxed);
  return c;
}

UdpChaos::Counters UdpChaos::total() const {
  Counters c;
  std::lock_guard<std::mutex> lock(directionsLock);
  for (const auto& entry : directions) {
    const Direction& d = *entry.second;
    c.received += d.received.load(std::memory_order_relaxed);
    c.forwarded += d.forwarded.load(std::memory_order_relaxed);
    c.dropped += d.dropped.load(std::memory_order_relaxed);
    c.duplicated += d.duplicated.load(std::memory_order_relaxed);
    c.reordered += d.reordered.load(std::memory_order_relaxed);
  }
  return c;
}

// ---- the relay thread ----

void UdpChaos::run() {
  while (!stopped.load(std::memory_order_relaxed)) {
    const int64_t now = nowNs();
    releaseExpiredHolds(now);
    sendDue(now);

    pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (writeBlocked ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
    const int64_t wake = nextWakeNs();
    timespec timeout = {};
    if (wake >= 0) {
      const int64_t wait = std::max<int64_t>(0, wake - now);
      timeout.tv_sec = static_cast<time_t>(wait / kNsPerSecond);
      timeout.tv_nsec = static_cast<long>(wait % kNsPerSecond);
    }
    if (::ppoll(fds, 2, wake >= 0 ? &timeout : nullptr, nullptr) < 0) continue;  // EINTR
    if (fds[1].revents) break;
    if (fds[0].revents & POLLERR) {
      // Taking the pending error clears it; left alone it would wake every poll at once.
      int error = 0;
      socklen_t size = sizeof error;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    }
    if (fds[0].revents & POLLOUT) writeBlocked = false;
    if (fds[0].revents & POLLIN) receiveBatch();
  }
}

void UdpChaos::receiveBatch() {
  Packet* packets[kBatch];
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  sockaddr_in senders[kBatch];
  for (int i = 0; i < kBatch; ++i) packets[i] = takePacket();
  for (int turn = 0; turn < kBatchesPerTurn; ++turn) {
    for (int i = 0; i < kBatch; ++i) {
      vectors[i] = {packets[i]->bytes, MAX_DATAGRAM};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    const int64_t now = nowNs();
    for (int i = 0; i < n; ++i) {
      Packet* packet = packets[i];
      packets[i] = takePacket();
      packet->length = static_cast<int>(messages[i].msg_len);
      const bool whole = !(messages[i].msg_hdr.msg_flags & MSG_TRUNC) && senders[i].sin_family == AF_INET;
      if (!whole) {
        bump(invalidCount);
        givePacket(packet);
        continue;
      }
      relay(packet, senders[i], now);
    }
    if (n < kBatch) break;
  }
  for (Packet* packet : packets) givePacket(packet);
}

void UdpChaos::relay(Packet* packet, const sockaddr_in& from, int64_t now) {
  // The prefix is read by the peers' own decoder: its opcode byte, then the Proxy body.
  sockaddr_in to;
  int prefixLength = 0;
  bool valid = packet->length > 0 && packet->bytes[0] == p2p::Message::proxy;
  if (valid) {
    try {
      ByteBuffer view(packet->bytes, packet->length);
      view.get();
      p2p::Proxy prefix;
      prefix.decode(view);
      prefixLength = view.position();
      std::memcpy(&to, &prefix.addr, sizeof to);
      valid = view.hasRemaining() && to.sin_port != 0 && !aimedAtSelf(to);
    } catch (const std::exception&) {
      valid = false;
    }
  }
  Direction* d = valid ? directionOf(from, to) : nullptr;
  if (!d) {
    bump(invalidCount);
    givePacket(packet);
    return;
  }
  // The receiver learns the sender from the prefix.
  p2p::Proxy sender;
  sockaddr_in named = from;
  if (!options.senderAlias.empty()) inet_pton(AF_INET, options.senderAlias.c_str(), &named.sin_addr);
  sender.setAddress(reinterpret_cast<const sockaddr*>(&named));
  ByteBuffer head(packet->bytes, prefixLength);
  sender.encode(head);
  packet->to = to;
  packet->duplicate = false;

  bump(d->received);
  if (d->received.load(std::memory_order_relaxed) <= static_cast<uint64_t>(options.spareFirst)) {
    schedule(d, packet, now);
    return;
  }
  // Three draws for every datagram, so one choice never shifts the others.
  const bool lose = draw(d) < options.loss;
  packet->duplicate = draw(d) < options.duplicate;
  const bool holdBack = draw(d) < options.reorder;
  if (lose) {
    drop(d, packet);
  } else if (d->held) {
    if (schedule(d, packet, now)) release(d, now);
  } else if (holdBack) {
    hold(d, packet, now);
  } else {
    schedule(d, packet, now);
  }
}

UdpChaos::Direction* UdpChaos::directionOf(const sockaddr_in& from, const sockaddr_in& to) {
  const DirectionKey key{endpointKey(from), endpointKey(to)};
  auto found = directions.find(key);
  if (found != directions.end()) return found->second.get();
  if (directions.size() >= MAX_DIRECTIONS) return nullptr;
  auto d = std::make_unique<Direction>();
  // Seeded by the order in which directions appear, not by their ports, which change from run to run.
  d->random = options.seed ^ (0xD1B54A32D192ED03ull * (directions.size() + 1));
  Direction* raw = d.get();
  std::lock_guard<std::mutex> lock(directionsLock);
  directions.emplace(key, std::move(d));
  return raw;
}

void UdpChaos::hold(Direction* d, Packet* packet, int64_t now) {
  if (queued() >= options.maxQueued) {
    drop(d, packet);
    return;
  }
  d->held = packet;
  d->heldUntilNs = now + options.reorderHoldMs * kNsPerMs;
  heldDirections.push_back(d);
}

// The held datagram leaves after the one just scheduled.
void UdpChaos::release(Direction* d, int64_t now) {
  Packet* packet = d->held;
  d->held = nullptr;
  heldDirections.erase(std::find(heldDirections.begin(), heldDirections.end(), d));
  if (schedule(d, packet, now)) bump(d->reordered);
}

void UdpChaos::releaseExpiredHolds(int64_t now) {
  for (size_t i = 0; i < heldDirections.size();) {
    Direction* d = heldDirections[i];
    if (d->heldUntilNs > now) {
      ++i;
      continue;
    }
    // Nothing overtook it: it was only late.
    Packet* packet = d->held;
    d->held = nullptr;
    heldDirections[i] = heldDirections.back();
    heldDirections.pop_back();
    schedule(d, packet, now);
  }
}

bool UdpChaos::schedule(Direction* d, Packet* packet, int64_t now) {
  const bool twice = packet->duplicate;
  packet->duplicate = false;
  Packet* copy = nullptr;
  if (twice) {
    copy = takePacket();
    copy->to = packet->to;
    copy->length = packet->length;
    copy->duplicate = false;
    std::memcpy(copy->bytes, packet->bytes, static_cast<size_t>(packet->length));
  }
  if (!scheduleOne(d, packet, now)) {
    if (copy) givePacket(copy);
    return false;
  }
  if (copy && scheduleOne(d, copy, now)) bump(d->duplicated);
  return true;
}

bool UdpChaos::scheduleOne(Direction* d, Packet* packet, int64_t now) {
  int64_t leaves = now;
  if (options.rateBytesPerSecond > 0) {
    const int64_t rate = options.rateBytesPerSecond;
    leaves = std::max(now, d->linkFreeAtNs);
    const int64_t backlogNs = std::max(kLinkBacklogNs, kLinkBacklogBytes * kNsPerSecond / rate);
    if (leaves - now > backlogNs) {
      drop(d, packet);
      return false;
    }
    d->linkFreeAtNs = leaves + packet->length * kNsPerSecond / rate;
  }
  if (queued() >= options.maxQueued) {
    drop(d, packet);
    return false;
  }
  dueQueue.push({leaves + options.delayMs * kNsPerMs, nextOrder++, packet, d});
  return true;
}

void UdpChaos::drop(Direction* d, Packet* packet) {
  bump(d->dropped);
  givePacket(packet);
}

void UdpChaos::sendDue(int64_t now) {
  while (!writeBlocked && !dueQueue.empty() && dueQueue.top().atNs <= now) {
    const Due due = dueQueue.top();
    Packet* packet = due.packet;
    const ssize_t sent = ::sendto(fd, packet->bytes, static_cast<size_t>(packet->length), 0,
                                  reinterpret_cast<const sockaddr*>(&packet->to), sizeof packet->to);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
      writeBlocked = true;  // stays first in line
      return;
    }
    dueQueue.pop();
    if (sent < 0) {
      drop(due.direction, packet);
    } else {
      bump(due.direction->forwarded);
      givePacket(packet);
    }
  }
}

int64_t UdpChaos::nextWakeNs() const {
  int64_t wake = -1;
  if (!writeBlocked && !dueQueue.empty()) wake = dueQueue.top().atNs;
  for (const Direction* d : heldDirections) {
    if (wake < 0 || d->heldUntilNs < wake) wake = d->heldUntilNs;
  }
  return wake;
}

bool UdpChaos::aimedAtSelf(const sockaddr_in& to) const {
  // A wildcard socket answers on every local address, so any address with its port may be itself.
  return to.sin_port == bound.sin_port &&
         (bound.sin_addr.s_addr == htonl(INADDR_ANY) || to.sin_addr.s_addr == bound.sin_addr.s_addr);
}

double UdpChaos::draw(Direction* d) { return static_cast<double>(splitmix64(d->random) >> 11) * 0x1.0p-53; }

UdpChaos::Packet* UdpChaos::takePacket() {
  if (freePackets.empty()) return new Packet;
  Packet* packet = freePackets.back();
  freePackets.pop_back();
  return packet;
}

void UdpChaos::givePacket(Packet* packet) {
  if (freePackets.size() >= kMaxFreePackets) {
    delete packet;
    return;
  }
  freePackets.push_back(packet);
}

}  // namespace udpchaos
