#include "Random.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace {

void fill(unsigned char* bytes, int n) {
  if (RAND_bytes(bytes, n) != 1) throw std::runtime_error("RAND_bytes failed");
}

}  // namespace

int64_t Random::challenge() {
  for (;;) {
    uint64_t value = 0;
    fill(reinterpret_cast<unsigned char*>(&value), sizeof value);
    value &= 0x7FFFFFFFFFFFFFFFull;
    if (value != 0) return static_cast<int64_t>(value);
  }
}

std::string Random::code(size_t length) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const unsigned alphabetSize = sizeof alphabet - 1;  // 36
  std::string out;
  while (out.size() < length) {
    unsigned char byte;
    fill(&byte, 1);
    // Rejecting the top of the byte range keeps every character equally likely.
    if (byte >= 252) continue;
    out += alphabet[byte % alphabetSize];
  }
  return out;
}
