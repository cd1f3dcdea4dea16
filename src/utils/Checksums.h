#pragma once

#include <cstdint>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// 64-bit fingerprint of a file prefix. Both ends of a transfer compute it
// independently and compare the numbers, so each implementation is a wire format.
class Checksum {
 public:
  virtual ~Checksum() = default;
  // Adds the `len` bytes of `b` starting at index `off`.
  virtual void update(const int8_t* b, int64_t off, int32_t len) = 0;
  virtual int64_t getValue() const = 0;
  virtual void reset() = 0;
};

// Fletcher-style sums over 32-bit little-endian words, where each byte is
// sign-extended before it is shifted into place (bytes 00 80 give 0xFFFF8000).
// Grouping restarts at every call; a short last group uses only the bytes present.
class Fletcher64 : public Checksum {
 public:
  Fletcher64() { reset(); }
  void update(const int8_t* b, int64_t off, int32_t len) override;
  int64_t getValue() const override;
  void reset() override;

 private:
  int64_t sum1;
  int64_t sum2;
};

// XOR of the big-endian 64-bit words; a tail of fewer than 8 bytes is ignored.
class Xor64 : public Checksum {
 public:
  Xor64() { reset(); }
  void update(const int8_t* b, int64_t off, int32_t len) override;
  int64_t getValue() const override { return v; }
  void reset() override { v = 0; }

 private:
  int64_t v;
};

// The first 8 bytes of the SHA-256 of everything added since the last reset, read as a
// big-endian signed number. Every bit of every byte counts, however the bytes are grouped into
// calls, so a changed prefix cannot pass for the held one.
class Sha256Prefix : public Checksum {
 public:
  Sha256Prefix();
  ~Sha256Prefix() override;
  Sha256Prefix(const Sha256Prefix&) = delete;
  Sha256Prefix& operator=(const Sha256Prefix&) = delete;

  void update(const int8_t* b, int64_t off, int32_t len) override;
  // Leaves the running digest as it is: more bytes may follow.
  int64_t getValue() const override;
  void reset() override;

 private:
  EVP_MD_CTX* ctx;
};
