#include "net/handlers/AcceptGate.h"

#include <netinet/in.h>

namespace net {

namespace {

// How often sources with nothing live on record are swept out, at most.
constexpr uint64_t kSweepPeriodMs = 10000;

}  // namespace

uint32_t AcceptGate::keyOf(const p2p::SocketAddress& source) {
  // The endpoint half: for a relayed peer the router puts the peer the relay names there.
  return reinterpret_cast<const sockaddr_in*>(source.getSockaddr())->sin_addr.s_addr;
}

int AcceptGate::liveStrikes(const Record& record, uint64_t now) {
  int live = 0;
  for (int i = 0; i < record.strikeCount; ++i) live += now < record.strikeTimes[i] + STRIKE_MS;
  return live;
}

AcceptGate::Verdict AcceptGate::admit(const p2p::SocketAddress& source, uint64_t now) {
  forgetIdle(now);
  Record& record = records[keyOf(source)];
  if (liveStrikes(record, now) >= MAX_STRIKES) return TooManyStrikes;
  if (record.waiting >= MAX_WAITING) return TooManyWaiting;
  ++record.waiting;
  return Admitted;
}

void AcceptGate::onRequest(const p2p::SocketAddress& source) {
  auto it = records.find(keyOf(source));
  if (it != records.end() && it->second.waiting > 0) --it->second.waiting;
}

void AcceptGate::onEnd(const p2p::SocketAddress& source, bool sentRequest, uint64_t now) {
  if (sentRequest) return;  // it stopped waiting when it asked
  Record& record = records[keyOf(source)];
  if (record.waiting > 0) --record.waiting;
  if (record.strikeCount == MAX_STRIKES) {
    for (int i = 1; i < MAX_STRIKES; ++i) record.strikeTimes[i - 1] = record.strikeTimes[i];
    --record.strikeCount;
  }
  record.strikeTimes[record.strikeCount++] = now;
  forgetIdle(now);
}

int AcceptGate::waiting(const p2p::SocketAddress& source) const {
  auto it = records.find(keyOf(source));
  return it == records.end() ? 0 : it->second.waiting;
}

int AcceptGate::strikes(const p2p::SocketAddress& source, uint64_t now) const {
  auto it = records.find(keyOf(source));
  return it == records.end() ? 0 : liveStrikes(it->second, now);
}

// Every stranger leaves a record behind; without a sweep a stream of new sources would grow the
// map without end.
void AcceptGate::forgetIdle(uint64_t now) {
  if (now < nextSweep) return;
  nextSweep = now + kSweepPeriodMs;
  for (auto it = records.begin(); it != records.end();) {
    if (it->second.waiting == 0 && liveStrikes(it->second, now) == 0) {
      it = records.erase(it);
    } else {
      ++it;
    }
  }
}

const char* AcceptGate::describe(Verdict verdict) {
  switch (verdict) {
    case Admitted:
      return "admitted";
    case TooManyWaiting:
      return "too many of its connections wait for their request";
    case TooManyStrikes:
      return "too many of its connections ended without a request";
  }
  return "refused";
}

}  // namespace net
