#include "utils/KeystreamAhead.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// The producer makes a chunk in a few microseconds; a wait much longer than that means it has
// lost its processor, and the caller is better off making the bytes itself.
constexpr auto kLongestWait = std::chrono::microseconds(20);

// The next call's keystream was written on another processor: asking for it now hides the
// transfer behind the caller's other work.
constexpr uint64_t kPrefetch = 4096;

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

KeystreamAhead::KeystreamAhead(const uint8_t key[16], const uint8_t iv[16], const Limits& limits)
    : limits(limits) {
  if (limits.ringSize == 0 || limits.chunk == 0 || limits.chunk > limits.ringSize)
    throw std::invalid_argument("KeystreamAhead: chunk must be 1 to ringSize bytes");
  cipher.setKey(key);
  cipher.setIv(iv);
}

KeystreamAhead::KeystreamAhead(const uint8_t key[16], const uint8_t iv[16])
    : KeystreamAhead(key, iv, Limits()) {}

KeystreamAhead::~KeystreamAhead() {
  stopAhead();
  if (producer.joinable()) producer.join();
}

void KeystreamAhead::encrypt(uint8_t* dest, int32_t destOffset, int32_t len, const uint8_t* src,
                             int32_t srcOffset) {
  if (len < 0 || destOffset < 0 || srcOffset < 0)
    throw std::invalid_argument("Sosemanuk: negative length or offset");
  if (len == 0) return;
  apply(src + srcOffset, dest + destOffset, static_cast<size_t>(len));
}

void KeystreamAhead::stopAhead() {
  {
    const std::lock_guard<std::mutex> lock(wakeLock);
    stopping.store(true);
  }
  wake.notify_one();
}

// ---- the caller's side ----

void KeystreamAhead::apply(const uint8_t* in, uint8_t* out, size_t n) {
  if (!ring) {
    // No other thread yet: the plain cipher, counting the volume.
    sosemanuk_encrypt(&cipher.rc, in, out, n);
    const uint64_t at = consumed.load(std::memory_order_relaxed) + n;
    produced.store(at, std::memory_order_relaxed);
    consumed.store(at, std::memory_order_relaxed);
    if (at >= limits.startAfter && !startFailed && !stopping.load()) startAhead();
    return;
  }
  while (n > 0) {
    if (takeFromRing(in, out, n) || awaitChunkInFlight()) continue;
    applyInline(in, out, n);
    break;
  }
  wakeProducerIfRoom();
}

// XORs with what the ring holds, up to its end; false when it holds nothing.
bool KeystreamAhead::takeFromRing(const uint8_t*& in, uint8_t*& out, size_t& n) {
  const uint64_t at = consumed.load(std::memory_order_relaxed);
  const uint64_t have = produced.load(std::memory_order_acquire) - at;
  if (have == 0) return false;
  const size_t index = static_cast<size_t>(at % limits.ringSize);
  const size_t m = static_cast<size_t>(std::min<uint64_t>({n, have, limits.ringSize - index}));
  xorbuf(ring.get() + index, in, out, m);
  prefetch(at + m, at + have);
  // A release, not a full fence: that would wait for every store of the XOR to reach memory.
  consumed.store(at + m, std::memory_order_release);
  takenFromRing += m;
  in += m;
  out += m;
  n -= m;
  return true;
}

// Asks for the keystream from `from` on, up to kPrefetch bytes ahead and no further than
// `made`, each line once.
void KeystreamAhead::prefetch(uint64_t from, uint64_t made) {
  const uint64_t start = std::max(from, prefetched);
  const uint64_t until = std::min(made, from + kPrefetch);
  if (start >= until) return;
  prefetched = until;
  const size_t index = static_cast<size_t>(start % limits.ringSize);
  const size_t end = index + static_cast<size_t>(until - start);
  const uint8_t* bytes = ring.get();
  for (size_t i = index; i < std::min(end, limits.ringSize); i += 64) __builtin_prefetch(bytes + i);
  for (size_t i = 0; i + limits.ringSize < end; i += 64) __builtin_prefetch(bytes + i);
}

// The producer is making exactly the bytes wanted: waiting a moment for them is cheaper than
// making them twice, and keeps a producer that is just behind from being overtaken forever.
// True once they are there.
bool KeystreamAhead::awaitChunkInFlight() {
  const uint64_t at = consumed.load(std::memory_order_relaxed);
  if (generatingFrom.load(std::memory_order_acquire) != at) return false;
  const auto giveUp = std::chrono::steady_clock::now() + kLongestWait;
  for (int spin = 1;; ++spin) {
    if (produced.load(std::memory_order_acquire) != at) return true;
    if (generatingFrom.load(std::memory_order_acquire) != at) return produced.load() != at;
    if (spin % 64 == 0 && std::chrono::steady_clock::now() > giveUp) return false;
    relax();
  }
}

// The ring is dry: makes the bytes from the cipher state itself. A chunk the producer is
// making meanwhile starts where this ends, so it will not be published.
void KeystreamAhead::applyInline(const uint8_t* in, uint8_t* out, size_t n) {
  const std::lock_guard<std::mutex> lock(stateLock);
  // What was published since the ring was seen empty comes first.
  while (n > 0 && takeFromRing(in, out, n)) {
  }
  if (n == 0) return;
  sosemanuk_encrypt(&cipher.rc, in, out, n);
  const uint64_t at = consumed.load(std::memory_order_relaxed) + n;
  produced.store(at, std::memory_order_release);
  consumed.store(at, std::memory_order_release);
}

void KeystreamAhead::startAhead() {
  ring.reset(new (std::nothrow) uint8_t[limits.ringSize]);
  if (!ring) {
    startFailed = true;
    return;
  }
  try {
    producer = std::thread([this] { produce(); });
  } catch (const std::system_error&) {
    ring.reset();  // no thread to be had: the inline cipher goes on as before
    startFailed = true;
  }
}

// Wakes a sleeping producer once it has room for a long turn. Never blocks, and is no fence:
// a producer that is just going to sleep, or whose flag is not seen yet, is woken by the next
// call, and until then the caller makes what it lacks itself.
void KeystreamAhead::wakeProducerIfRoom() {
  if (!sleeping.load() || room(produced.load(std::memory_order_relaxed)) < wakeRoom()) return;
  if (!wakeLock.try_lock()) return;
  // The first call to see the room wakes it; room only grows until it runs.
  if (sleeping.exchange(false)) wake.notify_one();
  wakeLock.unlock();
}

// ---- the producer ----

// Free room in the ring for bytes from position `from` on.
size_t KeystreamAhead::room(uint64_t from) const {
  const uint64_t at = consumed.load();
  if (at >= from) return limits.ringSize;
  return limits.ringSize - static_cast<size_t>(from - at);
}

// The room a sleeping producer waits for: a quarter of the ring, and a whole chunk. Woken
// while three quarters are still ahead, it has time to get a processor on a busy machine.
size_t KeystreamAhead::wakeRoom() const { return std::max(limits.ringSize / 4, limits.chunk); }

void KeystreamAhead::produce() {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "keystream");  // so that a profile tells it apart
#endif
  try {
    while (!stopping.load()) produceChunk();
  } catch (...) {
    // A lock or a wait that failed: the caller makes the rest inline.
  }
  generatingFrom.store(kIdle, std::memory_order_release);
}

// One turn: a chunk made from a copy of the cipher state and published, unless the caller has
// gone on inline meanwhile; or a sleep while the ring has no room for a chunk.
void KeystreamAhead::produceChunk() {
  sosemanuk_run_context state;
  uint64_t from;
  {
    const std::lock_guard<std::mutex> lock(stateLock);
    from = produced.load(std::memory_order_relaxed);
    state = cipher.rc;
    generatingFrom.store(from, std::memory_order_release);
  }
  const size_t index = static_cast<size_t>(from % limits.ringSize);
  const size_t wanted = std::min(limits.chunk, limits.ringSize - index);
  if (room(from) < wanted) {
    generatingFrom.store(kIdle, std::memory_order_release);
    sleepUntilRoom();
    return;
  }
  sosemanuk_prng(&state, ring.get() + index, wanted);
  const std::lock_guard<std::mutex> lock(stateLock);
  generatingFrom.store(kIdle, std::memory_order_release);
  // Stale when the caller has gone on inline meanwhile.
  if (produced.load(std::memory_order_relaxed) != from) return;
  cipher.rc = state;
  produced.store(from + wanted, std::memory_order_release);
}

void KeystreamAhead::sleepUntilRoom() {
  std::unique_lock<std::mutex> lock(wakeLock);
  sleeping.store(true);
  wake.wait(lock, [this] {
    return stopping.load() || room(produced.load(std::memory_order_relaxed)) >= wakeRoom();
  });
  sleeping.store(false);
}
