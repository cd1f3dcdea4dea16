#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string>

// Finite-field Diffie-Hellman for one peer stream: a 2048-bit group, public keys
// exchanged as DER SubjectPublicKeyInfo, and the raw shared secret handed back.
// Every failure throws std::runtime_error with the failing step's name first.
class DHKeyExchange {
 public:
  static const int32_t bitLength = 2048;

  DHKeyExchange();
  ~DHKeyExchange();

  DHKeyExchange(const DHKeyExchange&) = delete;
  DHKeyExchange& operator=(const DHKeyExchange&) = delete;

  // Installs the built-in group (a fixed 2048-bit safe prime, generator 5).
  void setPG();
  // Installs a group given as decimal strings; p must be exactly bitLength bits, so
  // that a peer cannot make check() spend seconds on a huge modulus.
  void setPG(const std::string& p, const std::string& g);
  void getPG(std::string& p, std::string& g);
  // Searches a new safe-prime group; takes many seconds, not used by the streams.
  void generatePG();

  // Makes the own key pair; returns its DER encoding (binary, contains zero bytes).
  std::string genPublicKey();
  // The shared secret, big-endian without leading zero bytes. Refuses a peer key that
  // is not a DH key of our own group, a degenerate public value, and a secret too
  // short to key the stream cipher.
  std::string genKey(const std::string& pubKey);

  // OpenSSL's DH_check flags for the installed group, 0 when sound. It costs a sizeable
  // fraction of a second for a new 2048-bit group: the engine's DhGroupGate rations it and
  // remembers the results.
  int check();

  // "<step> <OpenSSL's latest error line>".
  std::string getError(const std::string& step);

 private:
  DH* dh;
};
