#include "utils/Sosemanuk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace {

constexpr size_t kBlockSize = 80;

// The keystream helpers take the LFSR words by reference; unless they are inlined the
// words live in memory instead of registers, which costs about half the speed.
#if defined(__GNUC__)
#define SOSEMANUK_INLINE inline __attribute__((always_inline))
#else
#define SOSEMANUK_INLINE inline
#endif

constexpr uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// ---- GF(2^8) on X^8 + X^7 + X^5 + X^3 + 1, and the alpha tables built from it ----

constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    a = static_cast<uint8_t>((a & 0x80) ? ((a << 1) ^ 0xA9) : (a << 1));
    b >>= 1;
  }
  return product;
}

constexpr uint8_t betaPow(int n) {
  uint8_t r = 1;
  for (int i = 0; i < n; ++i) r = gfMul(r, 0x02);
  return r;
}

constexpr uint32_t pack(uint8_t b3, uint8_t b2, uint8_t b1, uint8_t b0) {
  return (static_cast<uint32_t>(b3) << 24) | (static_cast<uint32_t>(b2) << 16) |
         (static_cast<uint32_t>(b1) << 8) | b0;
}

// alpha^4 = beta^23 alpha^3 + beta^245 alpha^2 + beta^48 alpha + beta^239, so shifting a
// word up one coefficient folds its top byte back in through these four multipliers.
constexpr std::array<uint32_t, 256> makeMulA() {
  std::array<uint32_t, 256> t{};
  for (int x = 0; x < 256; ++x) {
    const auto c = static_cast<uint8_t>(x);
    t[x] = pack(gfMul(c, betaPow(23)), gfMul(c, betaPow(245)), gfMul(c, betaPow(48)),
                gfMul(c, betaPow(239)));
  }
  return t;
}

// alpha^-1 = beta^-239 (alpha^3 + beta^23 alpha^2 + beta^245 alpha + beta^48); beta^-239 is
// beta^16 since beta has order 255.
constexpr std::array<uint32_t, 256> makeMulIa() {
  std::array<uint32_t, 256> t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t c = gfMul(static_cast<uint8_t>(x), betaPow(16));
    t[x] = pack(c, gfMul(c, betaPow(23)), gfMul(c, betaPow(245)), gfMul(c, betaPow(48)));
  }
  return t;
}

constexpr std::array<uint32_t, 256> mul_a = makeMulA();
constexpr std::array<uint32_t, 256> mul_ia = makeMulIa();

static_assert(mul_a[0] == 0x00000000 && mul_a[1] == 0xE19FCF13 && mul_a[2] == 0x6B973726,
              "mul_a differs from the published table");
static_assert(mul_ia[0] == 0x00000000 && mul_ia[1] == 0x180F40CD && mul_ia[2] == 0x301E8033,
              "mul_ia differs from the published table");

SOSEMANUK_INLINE uint32_t mulAlpha(uint32_t w) { return (w << 8) ^ mul_a[w >> 24]; }
SOSEMANUK_INLINE uint32_t divAlpha(uint32_t w) { return (w >> 8) ^ mul_ia[w & 0xFF]; }

// ---- Serpent S-boxes, bitsliced: bit j of a, b, c, d is the j-th 4-bit input (a lowest);
// results come back in a, b, c, d the same way. Gate sequences after Osvik. ----

inline void sbox0(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r3 ^= r0; r4 = r1; r1 &= r3; r4 ^= r2; r1 ^= r0; r0 |= r3; r0 ^= r4; r4 ^= r3; r3 ^= r2;
  r2 |= r1; r2 ^= r4; r4 = ~r4; r4 |= r1; r1 ^= r3; r1 ^= r4; r3 |= r0; r1 ^= r3; r4 ^= r3;
  a = r1; b = r4; c = r2; d = r0;
}

inline void sbox1(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r0 = ~r0; r2 = ~r2; r4 = r0; r0 &= r1; r2 ^= r0; r0 |= r3; r3 ^= r2; r1 ^= r0; r0 ^= r4;
  r4 |= r1; r1 ^= r3; r2 |= r0; r2 &= r4; r0 ^= r1; r1 &= r2; r1 ^= r0; r0 &= r2; r0 ^= r4;
  a = r2; b = r0; c = r3; d = r1;
}

SOSEMANUK_INLINE void sbox2(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r4 = r0; r0 &= r2; r0 ^= r3; r2 ^= r1; r2 ^= r0; r3 |= r4; r3 ^= r1; r4 ^= r2;
  r1 = r3; r3 |= r4; r3 ^= r0; r0 &= r1; r4 ^= r0; r1 ^= r3; r1 ^= r4; r4 = ~r4;
  a = r2; b = r3; c = r1; d = r4;
}

inline void sbox3(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r4 = r0; r0 |= r3; r3 ^= r1; r1 &= r4; r4 ^= r2; r2 ^= r3; r3 &= r0; r4 |= r1; r3 ^= r4;
  r0 ^= r1; r4 &= r0; r1 ^= r3; r4 ^= r2; r1 |= r0; r1 ^= r2; r0 ^= r3; r2 = r1; r1 |= r3;
  r1 ^= r0;
  a = r1; b = r2; c = r3; d = r4;
}

inline void sbox4(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r1 ^= r3; r3 = ~r3; r2 ^= r3; r3 ^= r0; r4 = r1; r1 &= r3; r1 ^= r2; r4 ^= r3; r0 ^= r4;
  r2 &= r4; r2 ^= r0; r0 &= r1; r3 ^= r0; r4 |= r1; r4 ^= r0; r0 |= r3; r0 ^= r2; r2 &= r3;
  r0 = ~r0; r4 ^= r2;
  a = r1; b = r4; c = r0; d = r3;
}

inline void sbox5(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r0 ^= r1; r1 ^= r3; r3 = ~r3; r4 = r1; r1 &= r0; r2 ^= r3; r1 ^= r2; r2 |= r4; r4 ^= r3;
  r3 &= r1; r3 ^= r0; r4 ^= r1; r4 ^= r2; r2 ^= r0; r0 &= r3; r2 = ~r2; r0 ^= r4; r4 |= r3;
  r2 ^= r4;
  a = r1; b = r3; c = r0; d = r2;
}

inline void sbox6(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r2 = ~r2; r4 = r3; r3 &= r0; r0 ^= r4; r3 ^= r2; r2 |= r4; r1 ^= r3; r2 ^= r0; r0 |= r1;
  r2 ^= r1; r4 ^= r0; r0 |= r3; r0 ^= r2; r4 ^= r3; r4 ^= r0; r3 = ~r3; r2 &= r4; r2 ^= r3;
  a = r0; b = r1; c = r4; d = r2;
}

inline void sbox7(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  uint32_t r0 = a, r1 = b, r2 = c, r3 = d, r4;
  r4 = r1; r1 |= r2; r1 ^= r3; r4 ^= r2; r2 ^= r1; r3 |= r4; r3 &= r0; r4 ^= r2; r3 ^= r1;
  r1 |= r4; r1 ^= r0; r0 |= r4; r0 ^= r2; r1 ^= r4; r2 ^= r1; r1 &= r0; r1 ^= r4; r2 = ~r2;
  r2 |= r0; r4 ^= r2;
  a = r4; b = r3; c = r1; d = r0;
}

void applySbox(int which, uint32_t x[4]) {
  switch (which & 7) {
    case 0: sbox0(x[0], x[1], x[2], x[3]); break;
    case 1: sbox1(x[0], x[1], x[2], x[3]); break;
    case 2: sbox2(x[0], x[1], x[2], x[3]); break;
    case 3: sbox3(x[0], x[1], x[2], x[3]); break;
    case 4: sbox4(x[0], x[1], x[2], x[3]); break;
    case 5: sbox5(x[0], x[1], x[2], x[3]); break;
    case 6: sbox6(x[0], x[1], x[2], x[3]); break;
    default: sbox7(x[0], x[1], x[2], x[3]); break;
  }
}

void linearTransform(uint32_t x[4]) {
  x[0] = rotl(x[0], 13);
  x[2] = rotl(x[2], 3);
  x[1] ^= x[0] ^ x[2];
  x[3] ^= x[2] ^ (x[0] << 3);
  x[1] = rotl(x[1], 1);
  x[3] = rotl(x[3], 7);
  x[0] ^= x[1] ^ x[3];
  x[2] ^= x[3] ^ (x[1] << 7);
  x[0] = rotl(x[0], 5);
  x[2] = rotl(x[2], 22);
}

void addSubkey(uint32_t x[4], const uint32_t* sk) {
  for (int i = 0; i < 4; ++i) x[i] ^= sk[i];
}

// ---- Keystream: one LFSR/FSM step, and four of them folded through S2 ----

// Updates R1/R2 from the LFSR words s(t+1), s(t+8), s(t+9) and returns the FSM output.
SOSEMANUK_INLINE uint32_t fsmStep(uint32_t& r1, uint32_t& r2, uint32_t s1, uint32_t s8,
                                  uint32_t s9) {
  const uint32_t oldR1 = r1;
  r1 = r2 + (s1 ^ (s8 & (0u - (oldR1 & 1u))));
  r2 = rotl(oldR1 * 0x54655307u, 7);
  return (s9 + r1) ^ r2;
}

// Four steps from time t, given the LFSR words s(t) .. s(t+9) in x0 .. x9. Each step
// overwrites its oldest word with the new one, so afterwards x0 .. x3 hold s(t+10) ..
// s(t+13) and the caller passes the words rotated by four for the next group.
SOSEMANUK_INLINE void fourSteps(uint32_t& x0, uint32_t& x1, uint32_t& x2, uint32_t& x3,
                                uint32_t& x4, uint32_t& x5, uint32_t& x6, uint32_t& /*x7*/,
                                uint32_t& x8, uint32_t& x9, uint32_t& r1, uint32_t& r2,
                                uint8_t* out) {
  const uint32_t v0 = x0, v1 = x1, v2 = x2, v3 = x3;
  uint32_t f0 = fsmStep(r1, r2, x1, x8, x9);
  x0 = x9 ^ divAlpha(x3) ^ mulAlpha(x0);
  uint32_t f1 = fsmStep(r1, r2, x2, x9, x0);
  x1 = x0 ^ divAlpha(x4) ^ mulAlpha(x1);
  uint32_t f2 = fsmStep(r1, r2, x3, x0, x1);
  x2 = x1 ^ divAlpha(x5) ^ mulAlpha(x2);
  uint32_t f3 = fsmStep(r1, r2, x4, x1, x2);
  x3 = x2 ^ divAlpha(x6) ^ mulAlpha(x3);
  sbox2(f0, f1, f2, f3);
  encode32le(out, f0 ^ v0);
  encode32le(out + 4, f1 ^ v1);
  encode32le(out + 8, f2 ^ v2);
  encode32le(out + 12, f3 ^ v3);
}

// Word-sized XOR through memcpy: no alignment assumption, and exact aliasing of out with
// an input (in-place use) is fine because each word is loaded before it is stored.
SOSEMANUK_INLINE void xorBytes(const uint8_t* in1, const uint8_t* in2, uint8_t* out,
                                size_t len) {
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, in1 + i, 8);
    std::memcpy(&b, in2 + i, 8);
    a ^= b;
    std::memcpy(out + i, &a, 8);
  }
  for (; i < len; ++i) out[i] = in1[i] ^ in2[i];
}

}  // namespace

void sosemanuk_schedule(sosemanuk_key_context* kc, const uint8_t* key, size_t keyLen) {
  if (keyLen < 1 || keyLen > 32)
    throw std::invalid_argument("Sosemanuk: key length must be 1 to 32 bytes");
  uint8_t padded[32] = {};
  std::memcpy(padded, key, keyLen);
  if (keyLen < 32) padded[keyLen] = 0x01;

  // w[0..7] are the key words, w[8 + i] the prekey word i.
  uint32_t w[108];
  for (int i = 0; i < 8; ++i) w[i] = decode32le(padded + 4 * i);
  for (uint32_t i = 0; i < 100; ++i)
    w[i + 8] = rotl(w[i] ^ w[i + 3] ^ w[i + 5] ^ w[i + 7] ^ 0x9E3779B9u ^ i, 11);

  // Group k goes through S-box (3 - k) mod 8, as in Serpent.
  for (int k = 0; k < 25; ++k) {
    uint32_t x[4] = {w[8 + 4 * k], w[9 + 4 * k], w[10 + 4 * k], w[11 + 4 * k]};
    applySbox(35 - k, x);
    std::memcpy(kc->sk + 4 * k, x, sizeof x);
  }
}

void sosemanuk_init(sosemanuk_run_context* rc, const sosemanuk_key_context* kc, const uint8_t* iv,
                    size_t ivLen) {
  uint8_t padded[16] = {};
  if (ivLen > 0) std::memcpy(padded, iv, ivLen < 16 ? ivLen : 16);
  uint32_t x[4];
  for (int i = 0; i < 4; ++i) x[i] = decode32le(padded + 4 * i);

  // 24 full Serpent rounds and a last subkey; the outputs of rounds 12, 18 and 24
  // (indices 11, 17 and the final one) seed the LFSR and the FSM.
  for (int round = 0; round < 24; ++round) {
    addSubkey(x, kc->sk + 4 * round);
    applySbox(round, x);
    linearTransform(x);
    if (round == 11) {
      rc->s09 = x[0];
      rc->s08 = x[1];
      rc->s07 = x[2];
      rc->s06 = x[3];
    } else if (round == 17) {
      rc->r1 = x[0];
      rc->s04 = x[1];
      rc->r2 = x[2];
      rc->s05 = x[3];
    }
  }
  addSubkey(x, kc->sk + 96);
  rc->s03 = x[0];
  rc->s02 = x[1];
  rc->s01 = x[2];
  rc->s00 = x[3];
  rc->ptr = kBlockSize;
}

void sosemanuk_internal(sosemanuk_run_context* rc) {
  uint32_t s0 = rc->s00, s1 = rc->s01, s2 = rc->s02, s3 = rc->s03, s4 = rc->s04;
  uint32_t s5 = rc->s05, s6 = rc->s06, s7 = rc->s07, s8 = rc->s08, s9 = rc->s09;
  uint32_t r1 = rc->r1, r2 = rc->r2;
  uint8_t* out = rc->buf;

  // Twenty steps shift the ten words round twice, so they end up back in order.
  fourSteps(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, r1, r2, out);
  fourSteps(s4, s5, s6, s7, s8, s9, s0, s1, s2, s3, r1, r2, out + 16);
  fourSteps(s8, s9, s0, s1, s2, s3, s4, s5, s6, s7, r1, r2, out + 32);
  fourSteps(s2, s3, s4, s5, s6, s7, s8, s9, s0, s1, r1, r2, out + 48);
  fourSteps(s6, s7, s8, s9, s0, s1, s2, s3, s4, s5, r1, r2, out + 64);

  rc->s00 = s0; rc->s01 = s1; rc->s02 = s2; rc->s03 = s3; rc->s04 = s4;
  rc->s05 = s5; rc->s06 = s6; rc->s07 = s7; rc->s08 = s8; rc->s09 = s9;
  rc->r1 = r1;
  rc->r2 = r2;
}

void sosemanuk_encrypt(sosemanuk_run_context* rc, const uint8_t* in, uint8_t* out, size_t len) {
  if (rc->ptr < kBlockSize) {
    const size_t n = kBlockSize - rc->ptr < len ? kBlockSize - rc->ptr : len;
    xorBytes(rc->buf + rc->ptr, in, out, n);
    in += n;
    out += n;
    len -= n;
    rc->ptr += static_cast<unsigned>(n);
  }
  while (len > 0) {
    sosemanuk_internal(rc);
    if (len < kBlockSize) {
      xorBytes(rc->buf, in, out, len);
      rc->ptr = static_cast<unsigned>(len);
      return;
    }
    xorBytes(rc->buf, in, out, kBlockSize);
    rc->ptr = kBlockSize;
    in += kBlockSize;
    out += kBlockSize;
    len -= kBlockSize;
  }
}

void sosemanuk_prng(sosemanuk_run_context* rc, uint8_t* out, size_t len) {
  if (rc->ptr < kBlockSize) {
    const size_t n = kBlockSize - rc->ptr < len ? kBlockSize - rc->ptr : len;
    std::memcpy(out, rc->buf + rc->ptr, n);
    out += n;
    len -= n;
    rc->ptr += static_cast<unsigned>(n);
  }
  while (len > 0) {
    sosemanuk_internal(rc);
    if (len < kBlockSize) {
      std::memcpy(out, rc->buf, len);
      rc->ptr = static_cast<unsigned>(len);
      return;
    }
    std::memcpy(out, rc->buf, kBlockSize);
    rc->ptr = kBlockSize;
    out += kBlockSize;
    len -= kBlockSize;
  }
}

void xorbuf(const uint8_t* in1, const uint8_t* in2, uint8_t* out, size_t len) {
  xorBytes(in1, in2, out, len);
}

void Sosemanuk::setKey(const uint8_t key[16]) { sosemanuk_schedule(&kc, key, 16); }

void Sosemanuk::setIv(const uint8_t iv[16]) {
  // Subkeys that are all zero mean setKey never ran (owners zero-fill the object): a keystream
  // from them would be one that anybody can compute.
  if (std::all_of(std::begin(kc.sk), std::end(kc.sk), [](uint32_t word) { return word == 0; }))
    throw std::runtime_error("Sosemanuk: key and iv not set");
  sosemanuk_init(&rc, &kc, iv, 16);
}

void Sosemanuk::encrypt(uint8_t* dest, int32_t destOffset, int32_t len, const uint8_t* src,
                        int32_t srcOffset) {
  // A zero-filled object has ptr 0 and an all-zero block: "using" it would XOR with zeros
  // and send the plain bytes. Refuse loudly instead; nothing is written to dest.
  if (rc.ptr == 0) throw std::runtime_error("Sosemanuk: key and iv not set");
  if (len < 0 || destOffset < 0 || srcOffset < 0)
    throw std::invalid_argument("Sosemanuk: negative length or offset");
  if (len == 0) return;
  sosemanuk_encrypt(&rc, src + srcOffset, dest + destOffset, static_cast<size_t>(len));
}
