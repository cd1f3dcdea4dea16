// A UDP relay for loss tests on one machine: two peers use it as their relay, and it loses,
// duplicates, reorders, delays and rate-limits what it forwards, reproducibly for a given seed.
//
// It follows the relay rule the peers' routers expect: a datagram that begins with a `proxy`
// message naming X, from the physical sender S, goes to X with the prefix rewritten to name S.
// Anything else is dropped and counted. It runs on its own thread with a plain socket and poll,
// so a test can run both peers on its own loop beside it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "p2p/processes/SocketAddress.h"

namespace udpchaos {

class UdpChaos {
 public:
  struct Options {
    std::string host = "127.0.0.1";  // it forwards wherever a prefix points: keep it on loopback
    int port = 0;  // 0: any free port, see port()
    uint64_t seed = 1;
    // Shares from 0 to 1, drawn per datagram.
    double loss = 0;
    double duplicate = 0;
    double reorder = 0;  // held back until the next datagram of its direction has gone, or reorderHoldMs
    int reorderHoldMs = 10;
    int delayMs = 0;                  // fixed one-way delay
    int64_t rateBytesPerSecond = 0;  // per direction; 0: unlimited
    // The first datagrams of each direction pass unharmed: a peer's opening message is sent once,
    // and its loss is not what these tests are about.
    int spareFirst = 2;
    size_t maxQueued = 100000;  // datagrams waiting for their time; beyond it they are dropped
    // Names every sender under this IPv4 address (its port kept), as a relay on another host
    // would see peers that share one computer; empty: as they are.
    std::string senderAlias;
  };

  // One direction is one (physical sender, named destination) pair.
  struct Counters {
    uint64_t received = 0;
    uint64_t forwarded = 0;   // sent on, duplicates included
    uint64_t dropped = 0;     // lost on purpose, over the queue or rate limits, or failed to send
    uint64_t duplicated = 0;  // extra copies made
    uint64_t reordered = 0;   // released after a datagram that came later
  };

  // Binds the socket (failure throws std::runtime_error) and starts the relay thread.
  // Bad options throw std::invalid_argument.
  explicit UdpChaos(const Options& options);
  // Stops and joins.
  ~UdpChaos();
  UdpChaos(const UdpChaos&) = delete;
  UdpChaos& operator=(const UdpChaos&) = delete;

  int port() const { return boundPort; }
  // Where peers reach the relay (a wildcard host reads as 127.0.0.1).
  p2p::SocketAddress address() const;

  // Safe from any thread; idempotent. Datagrams still waiting are discarded.
  void stop();

  // Readable from any thread while the relay runs. `from` and `to` are the peers' own endpoints.
  Counters counters(const p2p::SocketAddress& from, const p2p::SocketAddress& to) const;
  // The sum over every direction.
  Counters total() const;
  // Datagrams with no valid Proxy prefix, aimed at the relay itself, or of more directions than tracked.
  uint64_t invalid() const { return invalidCount.load(std::memory_order_relaxed); }

  static constexpr int MAX_DATAGRAM = 1500;  // what the peers' sockets can receive at all
  static constexpr size_t MAX_DIRECTIONS = 4096;

 private:
  struct Packet {
    sockaddr_in to;
    int length;
    bool duplicate;  // a copy goes out right after it
    int8_t bytes[MAX_DATAGRAM];
  };

  struct Direction {
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> forwarded{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> duplicated{0};
    std::atomic<uint64_t> reordered{0};
    uint64_t random;          // this direction's generator state, so its draws do not depend on the others
    int64_t linkFreeAtNs = 0;  // when the rate-limited link has sent what it holds
    Packet* held = nullptr;   // a datagram being reordered
    int64_t heldUntilNs = 0;
  };

  struct Due {
    int64_t atNs;
    uint64_t order;  // equal times leave in the order they were scheduled
    Packet* packet;
    Direction* direction;
    bool operator>(const Due& other) const {
      return atNs != other.atNs ? atNs > other.atNs : order > other.order;
    }
  };

  void run();
  void receiveBatch();
  void relay(Packet* packet, const sockaddr_in& from, int64_t nowNs);
  Direction* directionOf(const sockaddr_in& from, const sockaddr_in& to);
  void hold(Direction* d, Packet* packet, int64_t nowNs);
  void release(Direction* d, int64_t nowNs);
  bool schedule(Direction* d, Packet* packet, int64_t nowNs);
  bool scheduleOne(Direction* d, Packet* packet, int64_t nowNs);
  void drop(Direction* d, Packet* packet);
  void releaseExpiredHolds(int64_t nowNs);
  void sendDue(int64_t nowNs);
  int64_t nextWakeNs() const;
  bool aimedAtSelf(const sockaddr_in& to) const;
  double draw(Direction* d);

  Packet* takePacket();
  void givePacket(Packet* packet);
  size_t queued() const { return dueQueue.size() + heldDirections.size(); }

  const Options options;
  int fd = -1;
  int wakeFd = -1;  // an eventfd: stop() writes it
  int boundPort = 0;
  sockaddr_in bound = {};

  struct DirectionKey {
    uint64_t from;  // IPv4 address and port, 48 bits
    uint64_t to;
    bool operator==(const DirectionKey& other) const { return from == other.from && to == other.to; }
  };
  struct DirectionHash {
    size_t operator()(const DirectionKey& key) const { return std::hash<uint64_t>()(key.from * 0x9E3779B97F4A7C15ull ^ key.to); }
  };

  // Relay thread only, except that `directions` is read under `directionsLock` by counters().
  mutable std::mutex directionsLock;
  std::unordered_map<DirectionKey, std::unique_ptr<Direction>, DirectionHash> directions;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> dueQueue;
  std::vector<Direction*> heldDirections;
  uint64_t nextOrder = 0;
  bool writeBlocked = false;  // the socket's send buffer is full: wait until it is writable
  std::vector<Packet*> freePackets;
  std::atomic<uint64_t> invalidCount{0};

  std::atomic<bool> stopped{false};
  std::mutex joinLock;
  std::thread thread;
};

}  // namespace udpchaos
