#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "utils/Sosemanuk.h"

// One direction's Sosemanuk keystream, made ahead on a thread of its own so that the caller
// (the loop thread) only XORs.
//
// The keystream does not depend on the data, so it can be made before the data exists. A
// direction starts inline, exactly as Sosemanuk::encrypt; once it has carried `startAfter`
// bytes (an idle stream or a stranger's short one never gets there) a producer thread fills a
// ring of `ringSize` bytes, `chunk` bytes at a time, and sleeps while the ring is full. The
// caller never waits long for it: when the ring runs dry it waits at most a few microseconds
// for a chunk already being made at its position, else makes the bytes itself from the same
// cipher state (the producer's chunk in flight, now stale, is thrown away).
//
// Whatever the timing, the bytes are those that Sosemanuk::encrypt gives over the same calls:
// the keystream is consumed in exact byte order. One caller thread.
class KeystreamAhead {
 public:
  struct Limits {
    size_t startAfter = 4 << 20;  // bytes made inline before the producer starts
    size_t ringSize = 2 << 20;    // the most keystream made ahead
    size_t chunk = 16 << 10;      // made per turn of the producer; it sleeps while less is free
  };
  // Never starts a producer: the inline cipher alone.
  static constexpr size_t Never = std::numeric_limits<size_t>::max();

  KeystreamAhead(const uint8_t key[16], const uint8_t iv[16], const Limits& limits);
  KeystreamAhead(const uint8_t key[16], const uint8_t iv[16]);
  // Stops the producer and waits for it: at most the rest of one chunk.
  ~KeystreamAhead();
  KeystreamAhead(const KeystreamAhead&) = delete;
  KeystreamAhead& operator=(const KeystreamAhead&) = delete;

  // As Sosemanuk::encrypt: dest[destOffset + i] = src[srcOffset + i] XOR the next keystream
  // byte; in place allowed; throws std::invalid_argument on a negative length or offset.
  void encrypt(uint8_t* dest, int32_t destOffset, int32_t len, const uint8_t* src, int32_t srcOffset);

  // Tells the producer to end, without waiting for it; what it made is still used, and the
  // keystream goes on inline. For a stream that has ended but is not deleted yet.
  void stopAhead();

  // A producer was started (and not told to stop).
  bool generatingAhead() const { return producer.joinable() && !stopping.load(); }
  // Keystream bytes consumed so far, and how many of them the producer made.
  uint64_t position() const { return consumed.load(std::memory_order_relaxed); }
  uint64_t madeAhead() const { return takenFromRing; }

 private:
  static constexpr uint64_t kIdle = std::numeric_limits<uint64_t>::max();

  void apply(const uint8_t* in, uint8_t* out, size_t n);
  bool takeFromRing(const uint8_t*& in, uint8_t*& out, size_t& n);
  void prefetch(uint64_t from, uint64_t made);
  bool awaitChunkInFlight();
  void applyInline(const uint8_t* in, uint8_t* out, size_t n);
  void startAhead();
  void wakeProducerIfRoom();
  size_t room(uint64_t from) const;
  size_t wakeRoom() const;
  void produce();
  void produceChunk();
  void sleepUntilRoom();

  const Limits limits;
  // The cipher at position `produced`. Once the producer runs, under stateLock.
  Sosemanuk cipher{};
  std::mutex stateLock;
  std::unique_ptr<uint8_t[]> ring;  // position p at p % ringSize; made with the producer
  // Keystream is in the ring from `consumed` up to `produced`. The caller alone moves
  // `consumed`; `produced` moves under stateLock (the producer's publication, or the caller
  // making bytes inline when the ring is dry).
  alignas(64) std::atomic<uint64_t> produced{0};
  alignas(64) std::atomic<uint64_t> consumed{0};
  // Where the producer's chunk in flight starts; kIdle when there is none.
  alignas(64) std::atomic<uint64_t> generatingFrom{kIdle};
  std::atomic<bool> sleeping{false};
  std::atomic<bool> stopping{false};
  std::mutex wakeLock;
  std::condition_variable wake;
  bool startFailed = false;  // no thread could be had: inline for good
  uint64_t prefetched = 0;   // the keystream asked for up to here
  uint64_t takenFromRing = 0;
  std::thread producer;
};
