// Peer keys with chosen public values are built with the low-level DH calls.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "utils/DH.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "support/TestSupport.h"

using testsupport::failureOf;

namespace {

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

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

// A 2048-bit prime p whose (p - 1) / 2 is not prime.
const char* const kPrimeNotSafe =
    "247231804975566583584221366861888615175030992463109568712040419341090277"
    "538028402744582749344922764649097158255524196112773498487649272871525215"
    "313118702776996873156679642869958062693427503846631085110016664353830126"
    "434767395930042946790025331485386446960382988426268813988663452047659875"
    "325369939317143718555753662676771024467238794466765643180278993706090500"
    "074821970948082857574703946022603547831092283520085961527277687531495912"
    "131164386040986935527701448470286293626165441620539180667590033392274588"
    "253825911859969526236663008776100110542486601271314261715137388189157521"
    "97389529383093948758413615351226306253629";

// dhKeyAgreement (1.2.840.113549.1.3.1) and X9.42 dhpublicnumber (1.2.840.10046.2.1).
const std::string kDhKeyAgreementOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x03\x01", 11);
const std::string kDhPublicNumberOid("\x06\x07\x2a\x86\x48\xce\x3e\x02\x01", 9);

BnPtr fromDecimal(const std::string& text) {
  BIGNUM* bn = nullptr;
  BN_dec2bn(&bn, text.c_str());
  return BnPtr(bn);
}

std::string toDecimal(const BIGNUM* bn) {
  char* text = BN_bn2dec(bn);
  std::string result(text);
  OPENSSL_free(text);
  return result;
}

std::string toBytes(const BIGNUM* bn) {
  std::string bytes(static_cast<size_t>(BN_num_bytes(bn)), '\0');
  BN_bn2bin(bn, reinterpret_cast<unsigned char*>(&bytes[0]));
  return bytes;
}

std::string encode(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(key, &der);
  std::string result(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return result;
}

// A peer's encoded key with any public value, valid or not.
std::string peerKey(const std::string& p, const std::string& g, const BIGNUM* publicValue) {
  DH* dh = DH_new();
  DH_set0_pqg(dh, fromDecimal(p).release(), nullptr, fromDecimal(g).release());
  DH_set0_key(dh, BN_dup(publicValue), nullptr);
  EVP_PKEY* key = EVP_PKEY_new();
  EVP_PKEY_assign(key, EVP_PKEY_DH, dh);
  std::string result = encode(key);
  EVP_PKEY_free(key);
  return result;
}

BnPtr publicValueOf(const std::string& der) {
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size()));
  const BIGNUM* value = nullptr;
  DH_get0_key(EVP_PKEY_get0_DH(key), &value, nullptr);
  BnPtr copy(BN_dup(value));
  EVP_PKEY_free(key);
  return copy;
}

std::string builtInP() {
  DHKeyExchange exchange;
  exchange.setPG();
  std::string p, g;
  exchange.getPG(p, g);
  return p;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

void expectAgreement(const std::string& p, const std::string& g) {
  DHKeyExchange opener, acceptor;
  opener.setPG(p, g);
  acceptor.setPG(p, g);
  ASSERT_EQ(acceptor.check(), 0);
  std::string openerKey = opener.genPublicKey();
  std::string acceptorKey = acceptor.genPublicKey();
  std::string secret = acceptor.genKey(openerKey);
  EXPECT_EQ(opener.genKey(acceptorKey), secret);
  EXPECT_GE(secret.size(), 16u);
  EXPECT_LE(secret.size(), 256u);
}

}  // namespace

TEST(DHKeyExchange, BuiltInGroupIsASafePrimeWithGeneratorFive) {
  DHKeyExchange exchange;
  exchange.setPG();
  std::string p, g;
  exchange.getPG(p, g);
  EXPECT_EQ(p.size(), 617u);
  EXPECT_EQ(p.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(g, "5");
  EXPECT_EQ(exchange.check(), 0);

  // Trailing non-digits are ignored: the leading digits form the number.
  DHKeyExchange trailing;
  trailing.setPG(p + "xyz", "5 ");
  std::string p2, g2;
  trailing.getPG(p2, g2);
  EXPECT_EQ(p2, p);
  EXPECT_EQ(g2, "5");
}

TEST(DHKeyExchange, TwoPartiesAgreeOnAnUnpaddedSecret) {
  for (int pair = 0; pair < 20; ++pair) {
    DHKeyExchange opener, acceptor;
    opener.setPG();
    acceptor.setPG();
    std::string openerKey = opener.genPublicKey();
    std::string acceptorKey = acceptor.genPublicKey();
    std::string secret = opener.genKey(acceptorKey);
    ASSERT_EQ(acceptor.genKey(openerKey), secret);
    ASSERT_EQ(opener.genKey(acceptorKey), secret) << "genKey must not change the key pair";
    ASSERT_GE(secret.size(), 16u);
    ASSERT_LE(secret.size(), 256u);
    ASSERT_NE(secret[0], '\0');

    // Binary DER with the PKCS#3 algorithm, sized by the encoder.
    ASSERT_GT(openerKey.size(), 256u);
    ASSERT_NE(openerKey.find('\0'), std::string::npos);
    ASSERT_NE(openerKey.find(kDhKeyAgreementOid), std::string::npos);
    ASSERT_EQ(openerKey.find(kDhPublicNumberOid), std::string::npos);
  }
}

TEST(DHKeyExchange, SecretWithLeadingZeroBytesIsShortened) {
  DHKeyExchange own;
  own.setPG();
  std::string p = builtInP();
  BnPtr prime = fromDecimal(p), generator = fromDecimal("5");
  BnPtr ownPublic = publicValueOf(own.genPublicKey());

  // Walk the peer's private value x upwards; each step costs two multiplications,
  // so a secret below 2^2040 (1 in 256) turns up quickly.
  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
  BnPtr x(BN_new()), peerPublic(BN_new()), shared(BN_new());
  BN_set_word(x.get(), 0x5eed1234);
  BN_mod_exp(peerPublic.get(), generator.get(), x.get(), prime.get(), ctx.get());
  BN_mod_exp(shared.get(), ownPublic.get(), x.get(), prime.get(), ctx.get());
  int steps = 0;
  while (BN_num_bytes(shared.get()) == 256 && steps++ < 20000) {
    BN_mod_mul(peerPublic.get(), peerPublic.get(), generator.get(), prime.get(), ctx.get());
    BN_mod_mul(shared.get(), shared.get(), ownPublic.get(), prime.get(), ctx.get());
  }
  ASSERT_LT(BN_num_bytes(shared.get()), 256);

  std::string secret = own.genKey(peerKey(p, "5", peerPublic.get()));
  EXPECT_EQ(secret, toBytes(shared.get()));
}

TEST(DHKeyExchange, AcceptsAnotherSafePrimeGroup) {
  expectAgreement(kOtherSafePrime, "5");
  expectAgreement(kOtherSafePrime, "2");
}

TEST(DHKeyExchange, RefusesGroupsOfAnotherSizeWithoutChecking) {
  BnPtr big(BN_new());
  BN_set_bit(big.get(), 3071);
  BN_add_word(big.get(), 1);
  BnPtr justTooBig(BN_new());
  BN_set_bit(justTooBig.get(), 2048);
  BN_add_word(justTooBig.get(), 1);
  const std::string p = builtInP();

  DHKeyExchange exchange;
  exchange.setPG();
  auto started = std::chrono::steady_clock::now();
  for (const std::string& bad : {std::string("23"), toDecimal(big.get()),
                                 toDecimal(justTooBig.get()), p.substr(1), "-" + p}) {
    EXPECT_EQ(failureOf([&] { exchange.setPG(bad, "5"); }), "setPG p must be 2048 bits") << bad;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));

  // The installed group survives a refused one.
  std::string p2, g2;
  exchange.getPG(p2, g2);
  EXPECT_EQ(p2, p);
  EXPECT_EQ(g2, "5");
}

TEST(DHKeyExchange, CheckFlagsUnsoundGroups) {
  const std::string p = builtInP();
  BnPtr composite = fromDecimal(p);
  BN_sub_word(composite.get(), 2);

  DHKeyExchange exchange;
  exchange.setPG(toDecimal(composite.get()), "5");
  EXPECT_TRUE(exchange.check() & DH_CHECK_P_NOT_PRIME);
  exchange.setPG(kPrimeNotSafe, "5");
  EXPECT_EQ(exchange.check(), DH_CHECK_P_NOT_SAFE_PRIME);
  // The remembered result for (p, 5) must not answer for another generator.
  exchange.setPG(p, "1");
  EXPECT_TRUE(exchange.check() & DH_NOT_SUITABLE_GENERATOR);
}

TEST(DHKeyExchange, FailuresNameTheirStep) {
  DHKeyExchange exchange;
  EXPECT_TRUE(startsWith(failureOf([&] { exchange.setPG("x123", "5"); }), "BN_dec2bn "));
  EXPECT_TRUE(startsWith(failureOf([&] { exchange.setPG(builtInP(), ""); }), "BN_dec2bn "));
  exchange.setPG();
  std::string ownKey = exchange.genPublicKey();

  std::mt19937 random(7);
  std::string noise(300, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> x25519(
      EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"), EVP_PKEY_free);
  DHKeyExchange otherGroup;
  otherGroup.setPG(kOtherSafePrime, "5");

  for (const std::string& bad : {noise, std::string(), ownKey.substr(0, ownKey.size() - 1),
                                 encode(x25519.get()), otherGroup.genPublicKey()}) {
    EXPECT_TRUE(startsWith(failureOf([&] { exchange.genKey(bad); }), "d2i_PUBKEY "));
  }
}

TEST(DHKeyExchange, RefusesDegeneratePublicValues) {
  const std::string p = builtInP();
  BnPtr prime = fromDecimal(p);
  BnPtr minusOne(BN_dup(prime.get()));
  BN_sub_word(minusOne.get(), 1);
  BnPtr plusTwo(BN_dup(prime.get()));
  BN_add_word(plusTwo.get(), 2);
  BnPtr zero(BN_new()), one(BN_new());
  BN_zero(zero.get());
  BN_one(one.get());

  DHKeyExchange exchange;
  exchange.setPG();
  exchange.genPublicKey();
  // p + 2 would pass for 2 if only the result were checked.
  for (const BIGNUM* bad : {zero.get(), one.get(), minusOne.get(), prime.get(), plusTwo.get()}) {
    std::string error = failureOf([&] { exchange.genKey(peerKey(p, "5", bad)); });
    EXPECT_TRUE(startsWith(error, "DH_compute_key ")) << error;
  }
}

TEST(DHKeyExchange, UseBeforeGroupOrKeyPairThrowsInsteadOfCrashing) {
  DHKeyExchange empty;
  std::string p = "stale", g = "stale";
  empty.getPG(p, g);
  EXPECT_EQ(p, "");
  EXPECT_EQ(g, "");
  EXPECT_TRUE(startsWith(failureOf([&] { empty.check(); }), "DH_check "));

  DHKeyExchange peer, withoutKeyPair;
  peer.setPG();
  withoutKeyPair.setPG();
  EXPECT_TRUE(
      startsWith(failureOf([&] { withoutKeyPair.genKey(peer.genPublicKey()); }), "DH_compute_key "));
}
