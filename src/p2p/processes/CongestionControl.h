// The sender's side of a stream's congestion control: how many packets may be in flight, when
// and how many to send again, and the round-trip estimate behind the retransmission time-out.
//
// Plain arithmetic on what the stream tells it: it knows no packets, sockets or clocks. Times are
// milliseconds of whatever clock the caller keeps; sequences are the stream's packet numbers.
#pragma once

#include <cstdint>

namespace p2p {

class CongestionControl {
 public:
  static constexpr double InitialWindow = 2.0;
  static constexpr int32_t InitialSlowStartWindow = 8;
  static constexpr int32_t PacketsInWindow = 1;
  static constexpr double Alpha = 0.1;  // weight of a new round-trip sample
  // Retransmission time-out: twice the round trip, within these bounds (ms).
  static constexpr int32_t MinResendTimeout = 20;
  static constexpr int32_t MaxResendTimeout = 800;

  // What the sender has out when an acknowledgement or a time-out arrives.
  struct Flight {
    int32_t sent;                  // sent and not acknowledged
    int32_t heldByPeer;            // of those, what the peer holds out of order
    int32_t oldestUnacknowledged;  // sequence of the first of them
  };

  // The stream carries data: slow start runs up to the peer's pool.
  void onConnected(int32_t peerPool);

  // An acknowledgement that moved from previousAck to ack: it counts for every packet it
  // covers, but no more than a window's worth.
  void onAck(int32_t previousAck, int32_t ack, int32_t peerPool);

  // The same acknowledgement again; `missing` is how far the peer's next sequence lies beyond it.
  // True when it took this as a loss: the window was cut and resends are due.
  bool onDuplicateAck(const Flight& flight, int64_t missing, int32_t peerPool);

  // The oldest packet waited longer than resendTimeout(). Only when no resend is due already.
  void onTimeout(const Flight& flight);

  // Packets to send again, from the oldest unacknowledged on; the count starts over at zero.
  int32_t takeResends();
  bool resendsDue() const { return resendCount != 0; }
  // A resend skips a packet sent within the last tenth of a round trip.
  bool worthResending(uint64_t lastSent, uint64_t now) const;

  void sampleRoundTrip(uint64_t sentAt, uint64_t acknowledgedAt);
  int32_t resendTimeout() const;
  bool timedOut(uint64_t oldestSentAt, uint64_t now) const;

  // Packets that may leave now, beside those in flight; what the peer holds does not count.
  double budget(int32_t sent, int32_t heldByPeer) const;

  double window() const { return windowSize; }
  bool inSlowStart() const { return slowStart; }
  int32_t slowStartThreshold() const { return slowStartWindow; }
  double roundTrip() const { return estimatedLatency; }

 private:
  void cutWindow();
  static bool lossPossible(const Flight& flight) { return flight.heldByPeer < flight.sent; }

  double windowSize = InitialWindow;  // packets
  int32_t slowStartWindow = InitialSlowStartWindow;
  bool slowStart = false;
  double estimatedLatency = 100.0;  // ms
  int32_t duplicateAckCount = 0;
  int32_t resendCount = 0;
  // The oldest unacknowledged sequence when the window was last cut; until the peer
  // acknowledges it, further duplicates belong to the same loss. 0: none.
  int32_t recoverySeq = 0;
};

}  // namespace p2p
