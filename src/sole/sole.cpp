#include "sole/sole.h"

#include <random>

#include "platform/Platform.h"

namespace sole {

namespace {

constexpr uint64_t kMulticastBit = 0x010000000000ULL;  // lowest bit of the node's first byte
constexpr uint64_t kNodeMask = 0xffffffffffffULL;

// The last stamp handed out on this thread, before the calendar offset.
thread_local uint64_t lastStamp = 0;

uint64_t randomBits() {
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) | rd();
}

}  // namespace

std::string uuid::str() const {
  static const char digits[] = "0123456789abcdef";
  std::string text = "00000000-0000-0000-0000-000000000000";
  static const int abPos[16] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 14, 15, 16, 17};
  static const int cdPos[16] = {19, 20, 21, 22, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35};
  for (int i = 0; i < 16; i++) {
    int shift = 60 - 4 * i;
    text[abPos[i]] = digits[(ab >> shift) & 0xf];
    text[cdPos[i]] = digits[(cd >> shift) & 0xf];
  }
  return text;
}

uint64_t get_time_from(int64_t utcMicros, uint64_t offset) {
  // A clock before 1970 is broken; count it as 1970 rather than wrap around.
  uint64_t t = utcMicros > 0 ? static_cast<uint64_t>(utcMicros) * 10 : 0;
  if (t > lastStamp)
    lastStamp = t;
  else
    t = ++lastStamp;
  return t + offset;
}

uint64_t get_time(uint64_t offset) { return get_time_from(platform::utcMicros(), offset); }

bool get_any_mac(uint8_t node[6]) { return platform::firstEthernetMac(node); }

uint64_t node_from(const uint8_t* mac) {
  if (!mac) {
    static const uint64_t randomNode = (randomBits() & kNodeMask) | kMulticastBit;
    return randomNode;
  }
  uint64_t node = 0;
  for (int i = 0; i < 6; i++) node = (node << 8) | mac[i];
  return node;
}

uint64_t get_any_mac48() {
  uint8_t mac[6];
  return node_from(get_any_mac(mac) ? mac : nullptr);
}

uint16_t clock_sequence() {
  static const uint16_t sequence = static_cast<uint16_t>(randomBits() & 0x3fff);
  return sequence;
}

uuid make_uuid1(uint64_t t, uint16_t clockSeq, uint64_t node) {
  uuid id;
  id.ab = (t & 0xffffffff) << 32 | ((t >> 32) & 0xffff) << 16 | ((t >> 48) & 0x0fff);
  id.ab = (id.ab & ~0xf000ULL) | 0x1000ULL;
  id.cd = static_cast<uint64_t>(clockSeq & 0x3fff) << 48 | (node & kNodeMask);
  id.cd = (id.cd & ~(3ULL << 62)) | (1ULL << 63);
  return id;
}

uuid uuid1() { return make_uuid1(get_time(kGregorianOffset), clock_sequence(), get_any_mac48()); }

}  // namespace sole
