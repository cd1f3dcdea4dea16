#pragma once

#include <cstdint>
#include <string>

// Shapes of the values that arrive from the network; anything else is refused before
// it reaches the state or the database.
class Checks {
 public:
  static constexpr size_t MAX_NAME = 254;  // the longest e-mail address
  static constexpr size_t MAX_UUID = 64;
  static constexpr size_t MAX_FIELD = 256;  // computer names, addresses and the like
  static constexpr size_t MAX_TEXT = 4096;  // a ticket's message, decoded

  // Letters, digits and "-._~{}": what travels unencoded in a query.
  static bool isUuid(const std::string& s);
  // 1 to MAX_NAME bytes without control characters.
  static bool isName(const std::string& s);
  // 40 lowercase hex characters (a user key, a SHA-1 digest).
  static bool isDigest(const std::string& s);
  // A signed decimal that fits 64 bits.
  static bool isDecimal(const std::string& s, int64_t* value = nullptr);
  // 1 to 32 letters and digits.
  static bool isTicketCode(const std::string& s);
  // At most `limit` bytes without control characters (may be empty).
  static bool isPlain(const std::string& s, size_t limit);

  // Compares in time independent of where two equally long secrets differ.
  static bool sameSecret(const std::string& a, const std::string& b);
};
