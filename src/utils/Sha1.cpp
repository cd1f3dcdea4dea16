#include "utils/Sha1.h"

#include <openssl/evp.h>

#include <stdexcept>

Sha1& Sha1::getInstance() {
  thread_local Sha1 instance;
  return instance;
}

Sha1::Sha1() : sha1(EVP_MD_CTX_new()) {
  if (!sha1) throw std::runtime_error("sha1 error");
}

Sha1::~Sha1() { EVP_MD_CTX_free(sha1); }

void Sha1::makeEncodedDigest(const std::string& in, std::string& out) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestInit_ex(sha1, EVP_sha1(), nullptr) != 1 ||
      EVP_DigestUpdate(sha1, in.data(), in.size()) != 1 ||
      EVP_DigestFinal_ex(sha1, digest, &size) != 1)
    throw std::runtime_error("sha1 error");

  static const char hex[] = "0123456789abcdef";
  out.clear();
  out.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0x0F];
  }
}

void Sha1::encodePassword(const std::string& user, const std::string& password, std::string& out) {
  std::string lower = user;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string userDigest;
  makeEncodedDigest(lower, userDigest);
  makeEncodedDigest(userDigest + password, out);
}
