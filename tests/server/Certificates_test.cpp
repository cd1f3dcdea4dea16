#include "Certificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "ServerProcess.h"
#include "support/TestSupport.h"

using namespace servertest;

namespace {

X509* readCert(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  X509* cert = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
  if (file) fclose(file);
  return cert;
}

// Whether the server certificate chains to the CA for TLS server use, with the host name.
bool verifies(const Certificates& certificates, const std::string& ip) {
  X509* ca = readCert(certificates.caPath());
  X509* cert = readCert(certificates.certPath());
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, ca);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, store, cert, nullptr);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM_set1_ip_asc(param, ip.c_str());
  const bool ok = X509_verify_cert(context) == 1;
  X509_STORE_CTX_free(context);
  X509_STORE_free(store);
  X509_free(cert);
  X509_free(ca);
  return ok;
}

TEST(CertificatesTest, MadeOnceThenKept) {
  testsupport::TempDir temp;
  const Certificates first(temp.path(), "127.0.0.1");
  EXPECT_TRUE(first.madeAuthority());
  EXPECT_TRUE(first.madeCertificate());
  EXPECT_TRUE(verifies(first, "127.0.0.1"));
  struct stat info;
  ASSERT_EQ(0, stat(temp.file("ca.key").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  const std::string cert = readAll(first.certPath());

  const Certificates second(temp.path(), "127.0.0.1");
  EXPECT_FALSE(second.madeAuthority());
  EXPECT_FALSE(second.madeCertificate());
  EXPECT_EQ(cert, readAll(second.certPath()));
}

TEST(CertificatesTest, ANewHostIsCertifiedByTheSameAuthority) {
  testsupport::TempDir temp;
  const Certificates first(temp.path(), "127.0.0.1");
  const std::string ca = readAll(first.caPath());
  EXPECT_FALSE(verifies(first, "10.1.2.3"));

  const Certificates second(temp.path(), "10.1.2.3");
  EXPECT_FALSE(second.madeAuthority());
  EXPECT_TRUE(second.madeCertificate());
  EXPECT_EQ(ca, readAll(second.caPath()));
  EXPECT_TRUE(verifies(second, "10.1.2.3"));
  EXPECT_TRUE(verifies(second, "127.0.0.1"));
}

TEST(CertificatesTest, AForeignAuthorityKeyIsRefused) {
  testsupport::TempDir one;
  testsupport::TempDir other;
  Certificates(one.path(), "127.0.0.1");
  Certificates(other.path(), "127.0.0.1");
  testsupport::writeFile(one.file("ca.key"), readAll(other.file("ca.key")));
  EXPECT_THROW(Certificates(one.path(), "127.0.0.1"), std::runtime_error);
}

}  // namespace
