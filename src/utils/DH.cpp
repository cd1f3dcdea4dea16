// The low-level DH calls give DH_check's flags and DH_compute_key's unpadded secret
// directly; OpenSSL 3 marks them deprecated, so the warnings are silenced here only.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "utils/DH.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/dh.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

#include "utils/Utils.h"

namespace {

// The stream cipher takes its 16-byte key from the front of the secret.
const int kMinSecretBytes = 16;
// Distinct groups whose check result is remembered; peers normally all send one.

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DhFree {
  void operator()(DH* dh) const { DH_free(dh); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using DhPtr = std::unique_ptr<DH, DhFree>;

// The 2048-bit MODP prime of RFC 3526, a safe prime. 5 is a quadratic residue
// modulo it, so g = 5 generates the subgroup of prime order (p - 1) / 2.
const std::string& builtInP() {
  static const std::string p =
      "323170060713110073003389139264238282488179412411402391128420097514007417"
      "066343542226196894173635693471179017379097041917546058732091950288537589"
      "861856221532121754125149017745202702357960782362488842461894775876411059"
      "286460994117232454266225221932305409190376805242355191256797158701170010"
      "580558776510388618472802579760549035697325615261670813393617995413364765"
      "591603683178967290731783845896806396719009772021941686472258710314113364"
      "293195361934716365332097170774482279885885653692086452966360772502689555"
      "059283627511211740969729980684105543595848665832916421362182310789909994"
      "48652468262416972035911852507045361090559";
  return p;
}

const std::string& builtInG() {
  static const std::string g = "5";
  return g;
}

std::string toDecimal(const BIGNUM* bn) {
  char* text = BN_bn2dec(bn);
  if (text == nullptr) return std::string();
  std::string result(text);
  OPENSSL_free(text);
  return result;
}


}  // namespace

DHKeyExchange::DHKeyExchange() : dh(DH_new()) {
  if (dh == nullptr) throw std::runtime_error(getError("DH_new"));
}

DHKeyExchange::~DHKeyExchange() { DH_free(dh); }

void DHKeyExchange::setPG() { setPG(builtInP(), builtInG()); }

void DHKeyExchange::setPG(const std::string& p, const std::string& g) {
  BIGNUM* raw = nullptr;
  if (BN_dec2bn(&raw, p.c_str()) <= 0) throw std::runtime_error(getError("BN_dec2bn"));
  BnPtr bnP(raw);
  raw = nullptr;
  if (BN_dec2bn(&raw, g.c_str()) <= 0) throw std::runtime_error(getError("BN_dec2bn"));
  BnPtr bnG(raw);

  // A group of another size comes from a peer that does not follow the protocol; a
  // larger one would also stall the loop for seconds in check().
  if (BN_is_negative(bnP.get()) || BN_num_bits(bnP.get()) != bitLength) {
    throw std::runtime_error(Utils::format("setPG p must be %d bits", bitLength));
  }
  if (DH_set0_pqg(dh, bnP.get(), nullptr, bnG.get()) != 1) {
    throw std::runtime_error(getError("DH_set0_pqg"));
  }
  bnP.release();
  bnG.release();
}

void DHKeyExchange::getPG(std::string& p, std::string& g) {
  const BIGNUM* bnP = nullptr;
  const BIGNUM* bnG = nullptr;
  DH_get0_pqg(dh, &bnP, nullptr, &bnG);
  p = bnP != nullptr ? toDecimal(bnP) : std::string();
  g = bnG != nullptr ? toDecimal(bnG) : std::string();
}

void DHKeyExchange::generatePG() {
  if (DH_generate_parameters_ex(dh, bitLength, DH_GENERATOR_5, nullptr) != 1) {
    throw std::runtime_error(getError("DH_generate_parameters_ex"));
  }
  int codes = check();
  if (codes != 0) throw std::runtime_error(Utils::format("check failed %d", codes));
}

std::string DHKeyExchange::genPublicKey() {
  if (DH_generate_key(dh) != 1) throw std::runtime_error(getError("DH_generate_key"));

  // The wrapper holds its own reference, so releasing it leaves `dh` to us. Assigning
  // as EVP_PKEY_DH makes the encoding use the dhKeyAgreement algorithm.
  PkeyPtr wrapper(EVP_PKEY_new());
  if (wrapper == nullptr || DH_up_ref(dh) != 1) {
    throw std::runtime_error(getError("EVP_PKEY_assign_DH"));
  }
  if (EVP_PKEY_assign(wrapper.get(), EVP_PKEY_DH, dh) != 1) {
    DH_free(dh);  // drops only the reference taken above
    throw std::runtime_error(getError("EVP_PKEY_assign_DH"));
  }

  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(wrapper.get(), &der);
  if (length < 0) throw std::runtime_error(getError("i2d_PUBKEY"));
  std::string result(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return result;
}

std::string DHKeyExchange::genKey(const std::string& pubKey) {
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(pubKey.data());
  PkeyPtr peer(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(pubKey.size())));
  if (peer == nullptr || EVP_PKEY_get_base_id(peer.get()) != EVP_PKEY_DH) {
    throw std::runtime_error(getError("d2i_PUBKEY"));
  }
  DhPtr peerDh(EVP_PKEY_get1_DH(peer.get()));
  if (peerDh == nullptr) throw std::runtime_error(getError("d2i_PUBKEY"));

  // A key computed in another group would give a secret the peer does not share.
  const BIGNUM* ownP = nullptr;
  const BIGNUM* ownG = nullptr;
  const BIGNUM* peerP = nullptr;
  const BIGNUM* peerG = nullptr;
  DH_get0_pqg(dh, &ownP, nullptr, &ownG);
  DH_get0_pqg(peerDh.get(), &peerP, nullptr, &peerG);
  if (ownP == nullptr || ownG == nullptr || peerP == nullptr || peerG == nullptr ||
      BN_cmp(ownP, peerP) != 0 || BN_cmp(ownG, peerG) != 0) {
    throw std::runtime_error(getError("d2i_PUBKEY"));
  }
  const BIGNUM* peerPublic = nullptr;
  DH_get0_key(peerDh.get(), &peerPublic, nullptr);
  if (peerPublic == nullptr) throw std::runtime_error(getError("d2i_PUBKEY"));

  const int size = DH_size(dh);
  auto clearFree = [size](unsigned char* bytes) {
    OPENSSL_clear_free(bytes, static_cast<size_t>(size));
  };
  std::unique_ptr<unsigned char, decltype(clearFree)> secret(
      static_cast<unsigned char*>(OPENSSL_malloc(static_cast<size_t>(size))), clearFree);
  if (secret == nullptr) throw std::runtime_error(getError("OPENSSL_malloc"));

  // A public value outside 2..p-2 (or a non-canonical one, p + 2 for 2) would let a
  // peer force or disguise a degenerate secret; DH_compute_key only looks at the result.
  int publicCodes = 0;
  if (DH_check_pub_key(dh, peerPublic, &publicCodes) != 1 || publicCodes != 0) {
    ERR_raise(ERR_LIB_DH, DH_R_INVALID_PUBKEY);
    throw std::runtime_error(getError("DH_compute_key"));
  }
  int length = DH_compute_key(secret.get(), peerPublic, dh);
  if (length < 0) throw std::runtime_error(getError("DH_compute_key"));
  if (length < kMinSecretBytes) throw std::runtime_error("DH_compute_key secret too short");
  return std::string(reinterpret_cast<const char*>(secret.get()), static_cast<size_t>(length));
}

int DHKeyExchange::check() {
  const BIGNUM* bnP = nullptr;
  const BIGNUM* bnG = nullptr;
  DH_get0_pqg(dh, &bnP, nullptr, &bnG);
  if (bnP == nullptr || bnG == nullptr) throw std::runtime_error(getError("DH_check"));

  // Costly for a new group: the engine's group gate decides which groups get here, and remembers.
  int codes = 0;
  if (DH_check(dh, &codes) != 1) throw std::runtime_error(getError("DH_check"));
  return codes;
}

std::string DHKeyExchange::getError(const std::string& step) {
  return Utils::format("%s %s", step.c_str(), ERR_error_string(ERR_peek_last_error(), nullptr));
}
