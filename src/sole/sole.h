#pragma once

#include <cstdint>
#include <string>

// Time-based (version 1) UUIDs that name this computer to the servers and its peers.
namespace sole {

struct uuid {
  uint64_t ab = 0;  // high 64 bits
  uint64_t cd = 0;  // low 64 bits

  // 36 characters, 8-4-4-4-12 lowercase hex digits, ab first.
  std::string str() const;
};

inline bool operator==(const uuid& a, const uuid& b) { return a.ab == b.ab && a.cd == b.cd; }
inline bool operator!=(const uuid& a, const uuid& b) { return !(a == b); }

// 100-ns intervals from 1582-10-15 (the UUID calendar) to 1970-01-01.
constexpr uint64_t kGregorianOffset = 0x01B21DD213814000ULL;

uuid uuid1();

// Internal pieces, open for tests.

// Current time in 100-ns units plus offset, strictly increasing on each thread.
uint64_t get_time(uint64_t offset);
// The same from a given wall-clock reading, so a clock stepping back can be replayed.
uint64_t get_time_from(int64_t utcMicros, uint64_t offset);

// The first Ethernet adapter's address as a 48-bit node, first byte most significant;
// without one, a random node drawn once per process with the multicast bit set, so it
// can never equal a real adapter's address.
uint64_t get_any_mac48();
bool get_any_mac(uint8_t node[6]);
// The node get_any_mac48 gives for an adapter address, or for none (nullptr).
uint64_t node_from(const uint8_t* mac);

// 14 random bits drawn once per process.
uint16_t clock_sequence();

// Lays out a version-1 UUID from a time stamp (with calendar offset), clock sequence and node.
uuid make_uuid1(uint64_t t, uint16_t clockSeq, uint64_t node);

}  // namespace sole
