#include "Certificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "support/TestSupport.h"

using testsupport::readFile;

namespace {

X509* readCert(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  X509* cert = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
  if (file) fclose(file);
  return cert;
}

// The server certificate's subjectAltNames as OpenSSL prints them; "" unless the CA signed it.
std::string altNames(const Certificates& certificates) {
  X509* ca = readCert(certificates.caPath());
  X509* cert = readCert(certificates.certPath());
  BIO* out = BIO_new(BIO_s_mem());
  const int at = X509_get_ext_by_NID(cert, NID_subject_alt_name, -1);
  if (at >= 0 && X509_verify(cert, X509_get0_pubkey(ca)) == 1)
    X509V3_EXT_print(out, X509_get_ext(cert, at), 0, 0);
  char* text = nullptr;
  const std::string names(text, static_cast<size_t>(BIO_get_mem_data(out, &text)));
  BIO_free(out);
  X509_free(cert);
  X509_free(ca);
  return names;
}

TEST(CertificatesTest, MadeOnceKeptAndRenewedForANewHost) {
  testsupport::TempDir temp;
  const Certificates first(temp.path(), "127.0.0.1");
  EXPECT_TRUE(first.madeAuthority() && first.madeCertificate());
  EXPECT_EQ("IP Address:127.0.0.1, DNS:localhost", altNames(first));
  struct stat info;
  ASSERT_EQ(0, stat(temp.file("ca.key").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  const std::string ca = readFile(first.caPath());
  const std::string cert = readFile(first.certPath());

  const Certificates kept(temp.path(), "127.0.0.1");
  EXPECT_FALSE(kept.madeAuthority() || kept.madeCertificate());
  EXPECT_EQ(cert, readFile(kept.certPath()));

  // Another host: a new certificate from the same authority.
  const Certificates moved(temp.path(), "10.1.2.3");
  EXPECT_FALSE(moved.madeAuthority());
  EXPECT_TRUE(moved.madeCertificate());
  EXPECT_EQ(ca, readFile(moved.caPath()));
  EXPECT_EQ("IP Address:127.0.0.1, DNS:localhost, IP Address:10.1.2.3", altNames(moved));
}

TEST(CertificatesTest, AForeignAuthorityKeyIsRefused) {
  testsupport::TempDir one;
  testsupport::TempDir other;
  Certificates(one.path(), "127.0.0.1");
  Certificates(other.path(), "127.0.0.1");
  testsupport::writeFile(one.file("ca.key"), readFile(other.file("ca.key")));
  EXPECT_THROW(Certificates(one.path(), "127.0.0.1"), std::runtime_error);
}

}  // namespace
