#include "MirelServer.h"

#include <filesystem>
#include <stdexcept>

#include "Certificates.h"
#include "Checks.h"
#include "Rendezvous.h"
#include "ServerLog.h"
#include "ServerState.h"
#include "Store.h"
#include "WebService.h"
#include "utils/Sha1.h"

namespace {

std::string databasePath(const Options& options) { return options.dataDir + "/mirel.db"; }

void makeDataDir(const std::string& dir) {
  std::error_code error;
  const bool made = std::filesystem::create_directories(dir, error);
  if (error) throw std::runtime_error("cannot create " + dir + ": " + error.message());
  // The folder holds the CA's key: nobody else needs to look inside one we made.
  if (made) std::filesystem::permissions(dir, std::filesystem::perms::owner_all, error);
}

}  // namespace

MirelServer::MirelServer(const Options& options) : options(options) {
  makeDataDir(options.dataDir);
  store = std::make_unique<Store>(databasePath(options));
  certificates = std::make_unique<Certificates>(options.dataDir, options.host);
  if (certificates->madeAuthority())
    SERVER_LOG << "made a new certificate authority " << certificates->caPath();
  if (certificates->madeCertificate())
    SERVER_LOG << "made a new server certificate for " << options.host;
  state = std::make_unique<ServerState>(*store);
  web = std::make_unique<WebService>(*state, *certificates);
  rendezvous =
      std::make_unique<Rendezvous>(*state, options.host, options.udpPort, !options.noRelay);
  if (options.relayViaPort != 0) rendezvous->useOutsideRelay(options.relayViaIp, options.relayViaPort);
}

MirelServer::~MirelServer() { stop(); }

void MirelServer::start() {
  rendezvous->start();
  web->start(options.host, options.httpsPort);
  SERVER_LOG << "serving https://" << options.host << ":" << options.httpsPort << "/ and udp "
             << options.host << ":" << options.udpPort << (options.noRelay ? " without relay" : "")
             << (options.relayViaPort ? " relaying peers via " + options.relayViaIp + ":" +
                                            std::to_string(options.relayViaPort)
                                      : "")
             << "; clients trust " << certificates->caPath();
}

void MirelServer::stop() {
  if (web) web->stop();
  if (rendezvous) rendezvous->stop();
}

void MirelServer::addUser(const Options& options) {
  if (!Checks::isName(options.addUserEmail))
    throw std::runtime_error("not a usable e-mail address: " + options.addUserEmail);
  makeDataDir(options.dataDir);
  Store store(databasePath(options));
  std::string key;
  Sha1::getInstance().encodePassword(options.addUserEmail, options.addUserPassword, key);
  store.putAccount(options.addUserEmail, key);
  SERVER_LOG << "user " << options.addUserEmail << " stored";
}
