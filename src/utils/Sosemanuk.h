#pragma once

#include <cstddef>
#include <cstdint>

// Sosemanuk stream cipher, bit-compatible with the published algorithm so that any
// peer can decrypt. Two layers: C-style free functions over a key context and a run
// context, and the small class `Sosemanuk` that a stream holds per direction.

// Serpent-style subkeys: 25 groups of 4 words.
struct sosemanuk_key_context {
  uint32_t sk[100];
};

// Keystream state. `ptr` indexes the first unused byte of `buf` (80: block used up).
// sosemanuk_init leaves ptr at 80 and it stays in 1..80 afterwards, so ptr == 0
// identifies a context that was zero-filled and never initialised.
struct sosemanuk_run_context {
  uint32_t s00, s01, s02, s03, s04, s05, s06, s07, s08, s09;  // LFSR, oldest first
  uint32_t r1, r2;                                            // FSM registers
  uint8_t buf[80];
  unsigned ptr;
};

// Key schedule for a key of 1 to 32 bytes; any other length throws std::invalid_argument.
void sosemanuk_schedule(sosemanuk_key_context* kc, const uint8_t* key, size_t keyLen);
// IV setup: a short IV is padded with zeros, a long one cut to 16 bytes.
void sosemanuk_init(sosemanuk_run_context* rc, const sosemanuk_key_context* kc, const uint8_t* iv,
                    size_t ivLen);
// Computes the next 80 keystream bytes into rc->buf; does not touch rc->ptr.
void sosemanuk_internal(sosemanuk_run_context* rc);
// out = in XOR keystream, continuing where the previous call stopped. in == out is allowed.
void sosemanuk_encrypt(sosemanuk_run_context* rc, const uint8_t* in, uint8_t* out, size_t len);
// Writes the next keystream bytes themselves.
void sosemanuk_prng(sosemanuk_run_context* rc, uint8_t* out, size_t len);
// out[i] = in1[i] XOR in2[i]; out may be the same memory as either input.
void xorbuf(const uint8_t* in1, const uint8_t* in2, uint8_t* out, size_t len);

inline uint32_t decode32le(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
         (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}

inline void encode32le(uint8_t* dst, uint32_t val) {
  dst[0] = static_cast<uint8_t>(val);
  dst[1] = static_cast<uint8_t>(val >> 8);
  dst[2] = static_cast<uint8_t>(val >> 16);
  dst[3] = static_cast<uint8_t>(val >> 24);
}

// One direction of one stream: 128-bit key, 128-bit IV. Plain data; a zero-filled object
// is "not keyed" and refuses to encrypt until setKey and setIv have run.
class Sosemanuk {
 public:
  sosemanuk_key_context kc{};
  sosemanuk_run_context rc{};

  void setKey(const uint8_t key[16]);
  // Restarts the keystream at its first byte for this IV.
  void setIv(const uint8_t iv[16]);
  // dest[destOffset + i] = src[srcOffset + i] XOR keystream, for i in 0 .. len-1; the same
  // call decrypts, and dest/src may be the same bytes. Throws std::runtime_error when the
  // IV was never set (see the .cpp) and std::invalid_argument on a negative length or offset.
  void encrypt(uint8_t* dest, int32_t destOffset, int32_t len, const uint8_t* src,
               int32_t srcOffset);
};
