#pragma once

#include <memory>

#include "Options.h"

class Certificates;
class Rendezvous;
class ServerState;
class Store;
class WebService;

// The whole stand-in: data folder, store, certificates, the HTTPS service and the
// rendezvous, started and stopped together.
class MirelServer {
 public:
  // Creates the data folder, opens the store and makes the certificates; throws on failure.
  explicit MirelServer(const Options& options);
  ~MirelServer();
  MirelServer(const MirelServer&) = delete;
  MirelServer& operator=(const MirelServer&) = delete;

  // Binds both ports and starts serving; throws when a port cannot be had.
  void start();
  void stop();

  // --add-user: stores the user key of that e-mail address and password.
  static void addUser(const Options& options);

 private:
  Options options;
  std::unique_ptr<Store> store;
  std::unique_ptr<Certificates> certificates;
  std::unique_ptr<ServerState> state;
  std::unique_ptr<WebService> web;
  std::unique_ptr<Rendezvous> rendezvous;
};
