// Throughput of the per-packet crypto work: the stream cipher against OpenSSL's
// ChaCha20 as a yardstick, plus the digest and the file fingerprint. "ahead" is the stream
// cipher as the peer stream uses it once a direction carries volume, its keystream made ahead
// on a thread of its own: the caller's rate while that keystream is ready, the XOR alone (the
// producer's own rate is the Sosemanuk column).
// Build Release before reading anything into the figures.

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "utils/Checksums.h"
#include "utils/KeystreamAhead.h"
#include "utils/Sha1.h"
#include "utils/Sosemanuk.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kSecondsPerMeasurement = 0.5;
constexpr int kCallsPerClockRead = 16;

volatile uint64_t sink;  // keeps results observable so no call is optimised away

// Calls `once` repeatedly for about kSecondsPerMeasurement; returns MB/s (10^6 bytes).
template <typename F>
double megabytesPerSecond(size_t bytesPerCall, F once) {
  for (int i = 0; i < kCallsPerClockRead; ++i) once();  // warm caches and branch predictors
  const auto start = Clock::now();
  const auto budget = std::chrono::duration<double>(kSecondsPerMeasurement);
  uint64_t calls = 0;
  std::chrono::duration<double> elapsed{};
  do {
    for (int i = 0; i < kCallsPerClockRead; ++i) once();
    calls += kCallsPerClockRead;
    elapsed = Clock::now() - start;
  } while (elapsed < budget);
  return static_cast<double>(calls) * static_cast<double>(bytesPerCall) / elapsed.count() / 1e6;
}

// The caller's rate over a keystream that is ready: each round lets the producer fill its ring,
// then times the use of most of it.
double aheadMegabytesPerSecond(size_t bytesPerCall, const uint8_t* key, const uint8_t* iv,
                               const std::vector<uint8_t>& src, std::vector<uint8_t>& dest) {
  KeystreamAhead::Limits fromTheStart;
  fromTheStart.startAfter = 0;
  KeystreamAhead ahead(key, iv, fromTheStart);
  const size_t callsPerRound = fromTheStart.ringSize * 3 / 4 / bytesPerCall;
  std::chrono::duration<double> timed{};
  uint64_t calls = 0;
  while (timed.count() < kSecondsPerMeasurement) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = Clock::now();
    for (size_t i = 0; i < callsPerRound; ++i) {
      ahead.encrypt(dest.data(), 0, static_cast<int32_t>(bytesPerCall), src.data(), 0);
      sink = sink + dest[bytesPerCall - 1];
    }
    timed += Clock::now() - start;
    calls += callsPerRound;
  }
  return static_cast<double>(calls) * static_cast<double>(bytesPerCall) / timed.count() / 1e6;
}

class ChaCha20 {
 public:
  ChaCha20() : ctx(EVP_CIPHER_CTX_new()) {
    const unsigned char key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char iv[16] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    if (ctx == nullptr || EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, key, iv) != 1) {
      std::fprintf(stderr, "ChaCha20 setup failed\n");
      std::exit(1);
    }
  }
  ~ChaCha20() { EVP_CIPHER_CTX_free(ctx); }
  ChaCha20(const ChaCha20&) = delete;
  ChaCha20& operator=(const ChaCha20&) = delete;

  void encrypt(uint8_t* out, const uint8_t* in, size_t len) {
    int outLen = 0;
    if (EVP_EncryptUpdate(ctx, out, &outLen, in, static_cast<int>(len)) != 1) {
      std::fprintf(stderr, "ChaCha20 update failed\n");
      std::exit(1);
    }
  }

 private:
  EVP_CIPHER_CTX* ctx;
};

struct Row {
  size_t size;
  double sosemanuk, ahead, chacha, sha1, fletcher;
};

Row measure(size_t size, const std::vector<uint8_t>& src, std::vector<uint8_t>& dest) {
  Row row{size, 0, 0, 0, 0, 0};

  Sosemanuk cipher{};
  uint8_t key[16], iv[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(i * 17 + 3);
    iv[i] = static_cast<uint8_t>(i * 29 + 7);
  }
  cipher.setKey(key);
  cipher.setIv(iv);
  row.sosemanuk = megabytesPerSecond(size, [&] {
    cipher.encrypt(dest.data(), 0, static_cast<int32_t>(size), src.data(), 0);
    sink = sink + dest[size - 1];
  });

  row.ahead = aheadMegabytesPerSecond(size, key, iv, src, dest);

  ChaCha20 chacha;
  row.chacha = megabytesPerSecond(size, [&] {
    chacha.encrypt(dest.data(), src.data(), size);
    sink = sink + dest[size - 1];
  });

  const std::string text(reinterpret_cast<const char*>(src.data()), size);
  std::string digest;
  Sha1& sha1 = Sha1::getInstance();
  row.sha1 = megabytesPerSecond(size, [&] {
    sha1.makeEncodedDigest(text, digest);
    sink = sink + static_cast<uint8_t>(digest[0]);
  });

  Fletcher64 fletcher;
  row.fletcher = megabytesPerSecond(size, [&] {
    fletcher.update(reinterpret_cast<const int8_t*>(src.data()), 0, static_cast<int32_t>(size));
    sink = sink + static_cast<uint64_t>(fletcher.getValue());
  });
  return row;
}

}  // namespace

int main() {
  const size_t sizes[] = {1415, 65536};
  std::vector<uint8_t> src(65536), dest(65536);
  std::mt19937 rng(1);
  for (auto& b : src) b = static_cast<uint8_t>(rng());

  std::printf("%-8s %14s %10s %14s %10s %12s %16s\n", "bytes", "Sosemanuk MB/s", "ahead MB/s",
              "ChaCha20 MB/s", "ratio", "SHA-1 MB/s", "Fletcher64 MB/s");
  for (size_t size : sizes) {
    const Row r = measure(size, src, dest);
    std::printf("%-8zu %14.0f %10.0f %14.0f %9.1f%% %12.0f %16.0f\n", r.size, r.sosemanuk, r.ahead,
                r.chacha, 100.0 * r.sosemanuk / r.chacha, r.sha1, r.fletcher);
  }
  return 0;
}
