#include "p2p/processes/CongestionControl.h"

#include <algorithm>

namespace p2p {

namespace {

// A round-trip estimate beyond this is no estimate; the bound keeps the arithmetic sane.
constexpr double kMaxLatency = 60000.0;

}  // namespace

void CongestionControl::onConnected(int32_t peerPool) {
  // Slow start up to the whole pool: without it a long path would take a hundred round trips
  // to fill the window.
  slowStart = true;
  slowStartWindow = peerPool;
}

void CongestionControl::onAck(int32_t previousAck, int32_t ack, int32_t peerPool) {
  // One closing a long gap must not open the window wide at once.
  const double covered = std::min(static_cast<double>(ack) - previousAck, windowSize);
  if (slowStart) {
    windowSize += covered;
    if (windowSize >= slowStartWindow) slowStart = false;
  } else {
    windowSize += covered / windowSize;
  }
  windowSize = std::min(windowSize, static_cast<double>(peerPool));
  duplicateAckCount = 0;
  if (recoverySeq != 0 && ack >= recoverySeq) recoverySeq = 0;
}

bool CongestionControl::onDuplicateAck(const Flight& flight, int64_t missing, int32_t peerPool) {
  // One cut per loss: duplicates that follow a cut wait for its packet to be acknowledged.
  // A peer that holds everything in flight is slow to read, not missing anything.
  if (resendCount != 0 || recoverySeq != 0 || !lossPossible(flight)) return false;
  if (++duplicateAckCount <= 2) return false;
  cutWindow();
  resendCount = static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(missing, peerPool)));
  duplicateAckCount = 0;
  recoverySeq = flight.oldestUnacknowledged;
  return true;
}

void CongestionControl::onTimeout(const Flight& flight) {
  if (lossPossible(flight)) {
    cutWindow();
    windowSize = InitialWindow;
    slowStart = true;
    recoverySeq = flight.oldestUnacknowledged;
  }
  duplicateAckCount = 0;
  resendCount = 1;
}

void CongestionControl::cutWindow() {
  const int32_t t = static_cast<int32_t>(windowSize);
  slowStartWindow = std::max(InitialSlowStartWindow, t / 2);
  windowSize = std::max(InitialWindow, 2 * windowSize / 3);
  slowStart = false;
}

int32_t CongestionControl::takeResends() {
  const int32_t due = resendCount;
  resendCount = 0;
  return due;
}

bool CongestionControl::worthResending(uint64_t lastSent, uint64_t now) const {
  return static_cast<double>(now - lastSent) >= estimatedLatency / 10;
}

void CongestionControl::sampleRoundTrip(uint64_t sentAt, uint64_t acknowledgedAt) {
  const double sample = static_cast<double>(acknowledgedAt - sentAt);
  estimatedLatency = std::min((1 - Alpha) * estimatedLatency + Alpha * sample, kMaxLatency);
}

int32_t CongestionControl::resendTimeout() const {
  const int32_t twice = std::min(2 * static_cast<int32_t>(estimatedLatency), MaxResendTimeout);
  return std::max(twice, MinResendTimeout);
}

bool CongestionControl::timedOut(uint64_t oldestSentAt, uint64_t now) const {
  return now > oldestSentAt + static_cast<uint64_t>(resendTimeout());
}

double CongestionControl::budget(int32_t sent, int32_t heldByPeer) const {
  return PacketsInWindow * windowSize + heldByPeer - static_cast<double>(sent);
}

}  // namespace p2p
