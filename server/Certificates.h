#pragma once

#include <string>

// The server's own certificate authority and HTTPS certificate in the data folder.
// The CA is made once and kept ("cacert.pem" is what clients trust); the server
// certificate is made again from it whenever it no longer names the host, 127.0.0.1 and
// localhost, or is about to expire.
class Certificates {
 public:
  // Throws std::runtime_error when a file cannot be read or written, or the CA's key
  // does not belong to its certificate.
  Certificates(const std::string& dataDir, const std::string& host);

  const std::string& caPath() const { return caCertPath; }
  const std::string& certPath() const { return serverCertPath; }
  const std::string& keyPath() const { return serverKeyPath; }
  bool madeAuthority() const { return authorityMade; }
  bool madeCertificate() const { return certificateMade; }

 private:
  std::string caCertPath;
  std::string caKeyPath;
  std::string serverCertPath;
  std::string serverKeyPath;
  bool authorityMade = false;
  bool certificateMade = false;
};
