#include "Checks.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

}  // namespace

bool Checks::isUuid(const std::string& s) {
  if (s.empty() || s.size() > MAX_UUID) return false;
  for (char c : s)
    if (!isAlnum(c) && c != '-' && c != '.' && c != '_' && c != '~' && c != '{' && c != '}')
      return false;
  return true;
}

bool Checks::isName(const std::string& s) { return !s.empty() && isPlain(s, MAX_NAME); }

bool Checks::isDigest(const std::string& s) {
  if (s.size() != 40) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool Checks::isDecimal(const std::string& s, int64_t* value) {
  if (s.empty() || s.size() > 20) return false;
  size_t i = (s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(s.c_str(), &end, 10);
  if (errno == ERANGE || *end != '\0') return false;
  if (value) *value = parsed;
  return true;
}

bool Checks::isTicketCode(const std::string& s) {
  if (s.empty() || s.size() > 32) return false;
  for (char c : s)
    if (!isAlnum(c)) return false;
  return true;
}

bool Checks::isPlain(const std::string& s, size_t limit) {
  if (s.size() > limit) return false;
  for (char c : s)
    if (isControl(c)) return false;
  return true;
}

bool Checks::sameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
