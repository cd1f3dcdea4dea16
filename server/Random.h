#pragma once

#include <cstdint>
#include <string>

// Unpredictable values from OpenSSL's generator: challenges and ticket codes must not be
// guessable from earlier ones.
class Random {
 public:
  // Uniform in [1, 2^63 - 1].
  static int64_t challenge();
  // `length` characters of A-Z and 0-9.
  static std::string code(size_t length);
};
