// Who may open a connection to this engine, counted by source.
//
// Anybody can send a `connect` to the engine's UDP port, and each one the engine takes costs it
// a key agreement and a connection that waits for its first request. So a source may have at most
// MAX_WAITING connections waiting for their request at one time, and each of its connections that
// ends without having sent one is a strike against it for STRIKE_MS; a source with MAX_STRIKES
// live strikes gets no new connection until they age out. A connection that sent its request
// never counts, and clears nothing.
//
// A source is the peer's IPv4 address, whatever its port; for a peer reached through a relay it is
// the peer the relay names, not the relay. Driven by the loop's clock; loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "p2p/processes/SocketAddress.h"

namespace net {

class AcceptGate {
 public:
  static constexpr int MAX_WAITING = 4;
  static constexpr int MAX_STRIKES = 8;
  static constexpr uint64_t STRIKE_MS = 60000;

  enum Verdict { Admitted, TooManyWaiting, TooManyStrikes };

  // Admitted counts a new connection of the source as waiting, until onRequest or onEnd.
  Verdict admit(const p2p::SocketAddress& source, uint64_t now);
  // The connection sent its request: it waits no more.
  void onRequest(const p2p::SocketAddress& source);
  // The connection ended; without a request it waited until now and is a strike.
  void onEnd(const p2p::SocketAddress& source, bool sentRequest, uint64_t now);

  int waiting(const p2p::SocketAddress& source) const;
  int strikes(const p2p::SocketAddress& source, uint64_t now) const;
  // Sources with anything on record; those with nothing live are forgotten as time goes on.
  size_t sources() const { return records.size(); }

  // The refusal, as the log says it.
  static const char* describe(Verdict verdict);

 private:
  struct Record {
    int waiting = 0;
    // The times of the newest strikes, oldest first; older ones cannot change a verdict.
    uint64_t strikeTimes[MAX_STRIKES] = {};
    int strikeCount = 0;  // entries of strikeTimes in use
  };

  static uint32_t keyOf(const p2p::SocketAddress& source);
  static int liveStrikes(const Record& record, uint64_t now);
  void forgetIdle(uint64_t now);

  std::unordered_map<uint32_t, Record> records;
  uint64_t nextSweep = 0;
};

}  // namespace net
