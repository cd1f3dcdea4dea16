#include "utils/Checksums.h"

#include <endian.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

// A byte taken as signed and widened, so 0x80..0xFF also set every higher bit.
inline uint32_t widen(int8_t byte) { return static_cast<uint32_t>(static_cast<int32_t>(byte)); }

inline uint32_t fletcherWord(const int8_t* p) {
  return widen(p[0]) | widen(p[1]) << 8 | widen(p[2]) << 16 | widen(p[3]) << 24;
}

}  // namespace

void Fletcher64::update(const int8_t* b, int64_t off, int32_t len) {
  if (len <= 0) return;
  const int8_t* p = b + off;
  uint32_t s1 = static_cast<uint32_t>(sum1);
  uint32_t s2 = static_cast<uint32_t>(sum2);
  int32_t i = 0;
  // Whole groups first, so the loop has no per-byte test; the sign extensions
  // compile to plain widening loads.
  for (; len - i >= 4; i += 4) {
    s1 += fletcherWord(p + i);
    s2 += s1;
  }
  const int32_t tail = len - i;
  if (tail > 0) {
    uint32_t word = widen(p[i]);
    if (tail > 1) word |= widen(p[i + 1]) << 8;
    if (tail > 2) word |= widen(p[i + 2]) << 16;
    s1 += word;
    s2 += s1;
  }
  sum1 = s1;
  sum2 = s2;
}

int64_t Fletcher64::getValue() const {
  return static_cast<int64_t>(static_cast<uint64_t>(sum1) | static_cast<uint64_t>(sum2) << 32);
}

void Fletcher64::reset() {
  sum1 = 0;
  sum2 = 0;
}

void Xor64::update(const int8_t* b, int64_t off, int32_t len) {
  if (len <= 0) return;
  const int8_t* p = b + off;
  uint64_t x = static_cast<uint64_t>(v);
  for (int32_t i = 0; len - i >= 8; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    x ^= be64toh(word);
  }
  v = static_cast<int64_t>(x);
}

Sha256Prefix::Sha256Prefix() : ctx(EVP_MD_CTX_new()) {
  if (!ctx) throw std::runtime_error("sha256 error");
  reset();
}

Sha256Prefix::~Sha256Prefix() { EVP_MD_CTX_free(ctx); }

void Sha256Prefix::update(const int8_t* b, int64_t off, int32_t len) {
  if (len <= 0) return;
  if (EVP_DigestUpdate(ctx, b + off, static_cast<size_t>(len)) != 1) throw std::runtime_error("sha256 error");
}

int64_t Sha256Prefix::getValue() const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!copy || EVP_MD_CTX_copy_ex(copy.get(), ctx) != 1 || EVP_DigestFinal_ex(copy.get(), digest, &size) != 1)
    throw std::runtime_error("sha256 error");
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | digest[i];
  return static_cast<int64_t>(value);
}

void Sha256Prefix::reset() {
  if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) throw std::runtime_error("sha256 error");
}
