#pragma once

#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// SHA-1 as 40 lowercase hex characters, and the user key derived from it.
// One digest context per thread, reused for every digest on that thread.
class Sha1 {
 public:
  // The calling thread's instance.
  static Sha1& getInstance();

  void makeEncodedDigest(const std::string& in, std::string& out);

  // hex(SHA1(hex(SHA1(lowercase(user))) + password)): the only form in which a
  // password is kept or sent. Only ASCII letters of the user name are lowered.
  void encodePassword(const std::string& user, const std::string& password, std::string& out);

  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

 private:
  Sha1();
  ~Sha1();

  EVP_MD_CTX* sha1;
};
