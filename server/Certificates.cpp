#include "Certificates.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

const long AUTHORITY_DAYS = 3650;
const long CERTIFICATE_DAYS = 825;
const long RENEW_DAYS = 30;  // a certificate this close to its end is made again

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

[[noreturn]] void fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char reason[256] = "";
  if (code) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  throw std::runtime_error(what + (code ? std::string(": ") + reason : std::string()));
}

void check(int ok, const char* what) {
  if (ok != 1) fail(what);
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Written beside the target and renamed, so a crash never leaves half a key.
void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string temporary = path + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + temporary + ": " + strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      throw std::runtime_error("cannot write " + temporary + ": " + strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  int error = fsync(fd) != 0 ? errno : 0;
  if (close(fd) != 0 && !error) error = errno;
  if (!error && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + path + ": " + strerror(error));
  }
}

std::string memoryText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

void writeKey(const std::string& path, EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) fail("BIO_new");
  check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr),
        "PEM_write_bio_PrivateKey");
  writeFile(path, memoryText(bio.get()), 0600);
}

void writeCert(const std::string& path, X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) fail("BIO_new");
  check(PEM_write_bio_X509(bio.get(), cert), "PEM_write_bio_X509");
  writeFile(path, memoryText(bio.get()), 0644);
}

KeyPtr readKey(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) fail("cannot read " + path);
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) fail("cannot read a key from " + path);
  return key;
}

CertPtr readCert(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) fail("cannot read " + path);
  CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) fail("cannot read a certificate from " + path);
  return cert;
}

KeyPtr newKey() {
  KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) fail("EVP_PKEY_Q_keygen");
  return key;
}

// `issuer` null: self-signed. Extensions are (nid, value) in OpenSSL's configuration syntax.
CertPtr newCert(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long days,
                const std::vector<std::pair<int, std::string>>& extensions) {
  CertPtr cert(X509_new());
  if (!cert) fail("X509_new");
  X509* x = cert.get();
  check(X509_set_version(x, X509_VERSION_3), "X509_set_version");

  std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
  if (!serial) fail("BN_new");
  check(BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), "BN_rand");
  if (!BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x))) fail("BN_to_ASN1_INTEGER");

  // An hour back, so a client whose clock runs a little behind accepts it at once.
  if (!X509_gmtime_adj(X509_getm_notBefore(x), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(x), days * 86400L))
    fail("X509_gmtime_adj");

  X509_NAME* subject = X509_get_subject_name(x);
  check(X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Mirel stand-in"), -1, -1,
                                   0),
        "X509_NAME_add_entry_by_txt");
  check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0),
        "X509_NAME_add_entry_by_txt");
  check(X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : subject),
        "X509_set_issuer_name");
  check(X509_set_pubkey(x, key), "X509_set_pubkey");

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer : x, x, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    std::unique_ptr<X509_EXTENSION, ExtensionFree> ext(
        X509V3_EXT_nconf_nid(nullptr, &context, nid, value.c_str()));
    if (!ext) fail("X509V3_EXT_nconf_nid " + value);
    check(X509_add_ext(x, ext.get(), -1), "X509_add_ext");
  }
  if (X509_sign(x, issuerKey, EVP_sha256()) <= 0) fail("X509_sign");
  return cert;
}

bool namesAndLasts(X509* cert, const std::string& host) {
  if (X509_check_ip_asc(cert, host.c_str(), 0) != 1) return false;
  if (X509_check_ip_asc(cert, "127.0.0.1", 0) != 1) return false;
  if (X509_check_host(cert, "localhost", 0, 0, nullptr) != 1) return false;
  time_t renewBy = time(nullptr) + RENEW_DAYS * 86400L;
  return X509_cmp_time(X509_get0_notAfter(cert), &renewBy) > 0;
}

}  // namespace

Certificates::Certificates(const std::string& dataDir, const std::string& host)
    : caCertPath(dataDir + "/cacert.pem"),
      caKeyPath(dataDir + "/ca.key"),
      serverCertPath(dataDir + "/server.pem"),
      serverKeyPath(dataDir + "/server.key") {
  KeyPtr caKey;
  CertPtr caCert;
  if (exists(caCertPath) && exists(caKeyPath)) {
    caKey = readKey(caKeyPath);
    caCert = readCert(caCertPath);
    if (X509_check_private_key(caCert.get(), caKey.get()) != 1)
      fail("the key in " + caKeyPath + " does not belong to " + caCertPath);
  } else {
    caKey = newKey();
    caCert = newCert("Mirel stand-in CA", caKey.get(), nullptr, caKey.get(), AUTHORITY_DAYS,
                     {{NID_basic_constraints, "critical,CA:TRUE"},
                      {NID_key_usage, "critical,keyCertSign,cRLSign"},
                      {NID_subject_key_identifier, "hash"}});
    writeKey(caKeyPath, caKey.get());
    writeCert(caCertPath, caCert.get());
    authorityMade = true;
  }

  if (!authorityMade && exists(serverCertPath) && exists(serverKeyPath)) {
    KeyPtr key = readKey(serverKeyPath);
    CertPtr cert = readCert(serverCertPath);
    if (X509_verify(cert.get(), caKey.get()) == 1 &&
        X509_check_private_key(cert.get(), key.get()) == 1 && namesAndLasts(cert.get(), host))
      return;
    ERR_clear_error();
  }

  KeyPtr key = newKey();
  std::string names = "IP:127.0.0.1,DNS:localhost";
  if (host != "127.0.0.1") names += ",IP:" + host;
  CertPtr cert = newCert(host.c_str(), key.get(), caCert.get(), caKey.get(), CERTIFICATE_DAYS,
                         {{NID_basic_constraints, "critical,CA:FALSE"},
                          {NID_key_usage, "critical,digitalSignature"},
                          {NID_ext_key_usage, "serverAuth"},
                          {NID_subject_key_identifier, "hash"},
                          {NID_authority_key_identifier, "keyid:always"},
                          {NID_subject_alt_name, names}});
  writeKey(serverKeyPath, key.get());
  writeCert(serverCertPath, cert.get());
  certificateMade = true;
}
