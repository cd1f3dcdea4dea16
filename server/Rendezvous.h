#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "ServerLog.h"

class ServerState;

// The UDP side: answers echoes, brings computers together for hole punching and relays
// datagrams that begin with a proxy prefix. One blocking socket served by one thread;
// every answer leaves from that socket. Lines about refused or dropped datagrams are
// rate-limited: anyone can send those.
class Rendezvous {
 public:
  static constexpr int DATAGRAM_MAX = 1500;

  struct Counters {
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> malformed{0};
    std::atomic<uint64_t> ignored{0};
    std::atomic<uint64_t> relayed{0};
    std::atomic<uint64_t> refused{0};
  };

  Rendezvous(ServerState& state, const std::string& host, int port, bool relay);
  ~Rendezvous();
  Rendezvous(const Rendezvous&) = delete;
  Rendezvous& operator=(const Rendezvous&) = delete;

  // Peers on this computer are sent through this relay instead of meeting directly (they are
  // named under kRelayOnlyAlias). Call before start().
  static const char* const kRelayOnlyAlias;
  void useOutsideRelay(const std::string& ip, int port) {
    outsideRelayIp = ip;
    outsideRelayPort = port;
  }

  // Binds the socket (throws when it cannot) and starts the thread.
  void start();
  void stop();

  const Counters& counters() const { return stats; }

 private:
  void run();
  void handle(int8_t* bytes, int n, const sockaddr_in& from, int64_t nowMs);
  void handleEcho(int8_t* bytes, int n, const sockaddr_in& from, int64_t nowMs);
  void handleFind(int8_t* bytes, int n, const sockaddr_in& from, int64_t nowMs);
  void handleRelay(int8_t* bytes, int n, const sockaddr_in& from, int64_t nowMs);
  void send(const int8_t* bytes, int n, const sockaddr_in& to);

  ServerState& state;
  const std::string host;
  const int port;
  const bool relay;
  std::string outsideRelayIp;
  int outsideRelayPort = 0;
  sockaddr_in self{};
  int socketFd = -1;
  int wakeFds[2] = {-1, -1};
  std::thread thread;
  Counters stats;
  LineBudget refusedEchoLines;
  LineBudget droppedFindLines;
  LineBudget errorLines;
};
