// Peer keys with chosen public values are built with the low-level DH calls.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "utils/DH.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "support/TestSupport.h"

using testsupport::failureOf;

namespace {

using BnPtr = std::unique_ptr<BIGNUM, void (*)(BIGNUM*)>;

// RFC 7919 ffdhe2048: another published 2048-bit safe prime.
const char* const kOtherSafePrime =
    "323170060713110073001535134778251633624880571334890751745884341392698068"
    "341362100027920563626401646854585563579353308169288290230805734726252735"
    "547424612457410262025279165729728627063003252634282131457669314142236542"
    "209411113486299916574782680342305530863490506355577122191878903327295696"
    "961297438562417412362372251973464026918557977679768230146253979330580152"
    "268587307611975324364674758554607150438968449403661304976978128542959586"
    "595975670512838521327844685229255045682728791137200989318739591433741758"
    "378260002780349731985520606075332341226032546840881200311059074842810039"
    "94966956119696956248629032338072839127039";

// dhKeyAgreement (1.2.840.113549.1.3.1), the algorithm peers expect in the encoding.
const std::string kDhKeyAgreementOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x03\x01", 11);

BnPtr bn(const std::string& decimal, long add = 0) {
  BIGNUM* raw = nullptr;
  BN_dec2bn(&raw, decimal.c_str());
  if (add >= 0) BN_add_word(raw, static_cast<BN_ULONG>(add));
  else BN_sub_word(raw, static_cast<BN_ULONG>(-add));
  return BnPtr(raw, BN_free);
}

std::string der(EVP_PKEY* key) {
  unsigned char* bytes = nullptr;
  const int length = i2d_PUBKEY(key, &bytes);
  std::string result(reinterpret_cast<char*>(bytes), static_cast<size_t>(length));
  OPENSSL_free(bytes);
  return result;
}

std::string builtInP() {
  DHKeyExchange exchange;
  exchange.setPG();
  std::string p, g;
  exchange.getPG(p, g);
  return p;
}

// A peer's encoded key in the group (p, 5) with any public value, valid or not.
std::string peerKey(const std::string& p, const BIGNUM* publicValue) {
  DH* dh = DH_new();
  DH_set0_pqg(dh, bn(p).release(), nullptr, bn("5").release());
  DH_set0_key(dh, BN_dup(publicValue), nullptr);
  EVP_PKEY* key = EVP_PKEY_new();
  EVP_PKEY_assign(key, EVP_PKEY_DH, dh);
  std::string result = der(key);
  EVP_PKEY_free(key);
  return result;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(DHKeyExchange, PartiesAgreeInTheBuiltInAndAnotherSafePrimeGroup) {
  const std::pair<std::string, std::string> groups[] = {
      {builtInP(), "5"}, {kOtherSafePrime, "5"}, {kOtherSafePrime, "2"}};
  for (const auto& group : groups) {
    DHKeyExchange opener, acceptor;
    opener.setPG(group.first, group.second);
    acceptor.setPG(group.first, group.second);
    ASSERT_EQ(acceptor.check(), 0);
    const std::string openerKey = opener.genPublicKey(), acceptorKey = acceptor.genPublicKey();
    const std::string secret = opener.genKey(acceptorKey);
    EXPECT_EQ(acceptor.genKey(openerKey), secret);
    EXPECT_EQ(opener.genKey(acceptorKey), secret) << "genKey must not change the key pair";
    EXPECT_TRUE(secret.size() >= 16 && secret.size() <= 256) << secret.size();
    EXPECT_NE(secret[0], '\0');
    EXPECT_NE(openerKey.find(kDhKeyAgreementOid), std::string::npos);
  }
}

TEST(DHKeyExchange, SecretWithLeadingZeroBytesIsShortened) {
  DHKeyExchange own;
  own.setPG();
  const std::string p = builtInP();
  BnPtr prime = bn(p), five = bn("5");
  const std::string ownKey = own.genPublicKey();
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(ownKey.data());
  EVP_PKEY* decoded = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(ownKey.size()));
  const BIGNUM* ownPublic = nullptr;
  DH_get0_key(EVP_PKEY_get0_DH(decoded), &ownPublic, nullptr);

  // Walk the peer's private value x upwards; each step costs two multiplications,
  // so a secret below 2^2040 (1 in 256) turns up quickly.
  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
  BnPtr x = bn("1592529460"), peerPublic = bn("0"), shared = bn("0");
  BN_mod_exp(peerPublic.get(), five.get(), x.get(), prime.get(), ctx.get());
  BN_mod_exp(shared.get(), ownPublic, x.get(), prime.get(), ctx.get());
  for (int steps = 0; BN_num_bytes(shared.get()) == 256 && steps < 20000; ++steps) {
    BN_mod_mul(peerPublic.get(), peerPublic.get(), five.get(), prime.get(), ctx.get());
    BN_mod_mul(shared.get(), shared.get(), ownPublic, prime.get(), ctx.get());
  }
  EVP_PKEY_free(decoded);
  ASSERT_LT(BN_num_bytes(shared.get()), 256);

  std::string expected(static_cast<size_t>(BN_num_bytes(shared.get())), '\0');
  BN_bn2bin(shared.get(), reinterpret_cast<unsigned char*>(&expected[0]));
  EXPECT_EQ(own.genKey(peerKey(p, peerPublic.get())), expected);
}

TEST(DHKeyExchange, RefusesGroupsOfAnotherSizeWithoutChecking) {
  const std::string p = builtInP();
  DHKeyExchange exchange;
  exchange.setPG();
  const auto started = std::chrono::steady_clock::now();
  for (const std::string& bad : {std::string("23"), std::string(925, '9'), p + "0", p.substr(1), "-" + p}) {
    EXPECT_EQ(failureOf([&] { exchange.setPG(bad, "5"); }), "setPG p must be 2048 bits") << bad;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
  EXPECT_TRUE(startsWith(failureOf([&] { exchange.setPG("x123", "5"); }), "BN_dec2bn "));

  // The installed group survives a refused one.
  std::string p2, g2;
  exchange.getPG(p2, g2);
  EXPECT_EQ(p2 + " " + g2, p + " 5");

  // check() flags an unsound group; its remembered result for (p, 5) must not answer for (p, 1).
  exchange.setPG(p.substr(0, p.size() - 1) + "5", "5");  // a multiple of 5
  EXPECT_TRUE(exchange.check() & DH_CHECK_P_NOT_PRIME);
  exchange.setPG(p, "1");
  EXPECT_TRUE(exchange.check() & DH_NOT_SUITABLE_GENERATOR);
}

TEST(DHKeyExchange, RefusesBadPeerKeys) {
  const std::string p = builtInP();
  DHKeyExchange exchange;
  exchange.setPG();
  const std::string ownKey = exchange.genPublicKey();

  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> x25519(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"),
                                                        EVP_PKEY_free);
  DHKeyExchange otherGroup;
  otherGroup.setPG(kOtherSafePrime, "5");

  for (const std::string& bad : {std::string(), ownKey.substr(0, ownKey.size() - 1), der(x25519.get()),
                                 otherGroup.genPublicKey()}) {
    EXPECT_TRUE(startsWith(failureOf([&] { exchange.genKey(bad); }), "d2i_PUBKEY "));
  }
  // Degenerate public values; p + 2 would pass for 2 if only the result were checked.
  const std::pair<std::string, long> degenerate[] = {{"0", 0}, {"1", 0}, {p, -1}, {p, 0}, {p, 2}};
  for (const auto& bad : degenerate) {
    const std::string key = peerKey(p, bn(bad.first, bad.second).get());
    const std::string error = failureOf([&] { exchange.genKey(key); });
    EXPECT_TRUE(startsWith(error, "DH_compute_key ")) << error;
  }
}

TEST(DHKeyExchange, UseBeforeGroupOrKeyPairThrowsInsteadOfCrashing) {
  DHKeyExchange empty;
  std::string p = "stale", g = "stale";
  empty.getPG(p, g);
  EXPECT_EQ(p + g, "");
  EXPECT_TRUE(startsWith(failureOf([&] { empty.check(); }), "DH_check "));

  DHKeyExchange peer, withoutKeyPair;
  peer.setPG();
  withoutKeyPair.setPG();
  EXPECT_TRUE(startsWith(failureOf([&] { withoutKeyPair.genKey(peer.genPublicKey()); }), "DH_compute_key "));
}
