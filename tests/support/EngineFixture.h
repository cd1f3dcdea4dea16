// An in-process engine on a real loop for the handler tests: a Manager whose web server does
// not answer (its login fails quietly), with a port of its own for the local HTTP server.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/Api.h"
#include "net/handlers/IHandler.h"
#include "net/handlers/Manager.h"
#include "net/handlers/PeerManager.h"
#include "net/messages/Message.h"
#include "p2p/uv/UvLoop.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"
#include "utils/ByteBuffer.h"
#include "utils/Properties.h"

namespace enginetest {

// Events of an in-process engine, kept in arrival order.
class EventLog : public net::Api::Listener {
 public:
  void onEvent(net::Api::Event* event) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.emplace_back(event);
  }
  size_t count(net::Api::EventType type) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (auto& e : events) n += e->type == type;
    return n;
  }
  // The reasons of the TicketGet answers to command `commandId`, in order.
  std::vector<std::string> ticketGetReasons(int commandId) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> reasons;
    for (auto& e : events)
      if (e->type == net::Api::TICKET_GET && e->commandId == commandId)
        reasons.push_back(static_cast<const net::Api::TicketGetEvent&>(*e).reason);
    return reasons;
  }
  // The last event of the type, or null.
  template <class E>
  const E* last(net::Api::EventType type) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if ((*it)->type == type) return static_cast<const E*>(it->get());
    return nullptr;
  }

 private:
  std::mutex mutex;
  std::vector<std::unique_ptr<net::Api::Event>> events;
};

// A certificate authority nobody signs with: enough for the web-server client to start calls.
inline const char* const kUnusedCa =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBgTCCASegAwIBAgIUDICePQLylhNi6jNp6Clc6AoNM0wwCgYIKoZIzj0EAwIw\n"
    "FTETMBEGA1UEAwwKbWlyZWwgdGVzdDAgFw0yNjEyMDkwOTA4NTlaGA8yMTI2MTEx\n"
    "NTA5MDg1OVowFTETMBEGA1UEAwwKbWlyZWwgdGVzdDBZMBMGByqGSM49AgEGCCqG\n"
    "SM49AwEHA0IABEZIi7G23ZJarVXaCV87bYkN51LLLGoBby/BJ9QMO/1EhvBuX3ia\n"
    "JM7cVEYCvR5XpTjwJXJZed6+lowqLXR+8d+jUzBRMB0GA1UdDgQWBBRbJnpcp7sv\n"
    "lGOfpsoJgplNFLZoPzAfBgNVHSMEGDAWgBRbJnpcp7svlGOfpsoJgplNFLZoPzAP\n"
    "BgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gAMEUCICyETJceV5nub+pYAZH0\n"
    "4Fv/YBrv46bQpJSwbjudfBeHAiEAznYMjIjHYYNUSUJWjSdAonWVbeRSXqQjlIjV\n"
    "tNMOmak=\n"
    "-----END CERTIFICATE-----\n";

// Runs in a folder for its lifetime, as the programs run in their working folder.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) {
    if (!getcwd(previous, sizeof previous) || chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir);
  }
  ~ScopedCwd() {
    if (chdir(previous) != 0) std::perror("chdir back");
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  char previous[4096] = {};
};

// Settings of an engine whose web server never answers, with a free local HTTP port.
inline Properties quietProperties(const testsupport::TempDir& dir,
                                  const std::string& serverUrl = "https://127.0.0.1:1/", int udpPort = 1) {
  Properties p;
  p.serverUrl = serverUrl;
  p.serverUdpPort = udpPort;
  p.username = "alice@example.com";
  p.userkey = "key";
  p.uuid = "11111111-2222-1333-8444-555555555555";
  p.computerName = "alice's computer";
  p.recvPath = dir.path();
  p.tcpPort = servertest::randomFreePort();
  p.filename = dir.file("properties.ini");
  return p;
}

// An engine in this process, running in a fresh folder whose cacert.pem is `caPem`.
struct LocalEngine {
  explicit LocalEngine(const std::string& serverUrl = "https://127.0.0.1:1/", int udpPort = 1,
                       const std::string& caPem = kUnusedCa)
      : cwd((testsupport::writeFile(dir.file("cacert.pem"), caPem), dir.path())),
        properties(quietProperties(dir, serverUrl, udpPort)) {
    api.setEventLoop(&loop);
    api.setListener(&events);
    manager = std::make_unique<net::Manager>(properties, &loop);
    manager->setListener(&api);
  }
  // An engine that uses `server`.
  explicit LocalEngine(const servertest::ServerProcess& server)
      : LocalEngine("https://127.0.0.1:" + std::to_string(server.httpsPort) + "/", server.udpPort,
                    testsupport::readFile(server.caPath())) {}
  ~LocalEngine() {
    manager.reset();
    api.setListener(nullptr);
  }

  bool runUntil(const std::function<bool()>& done, int limitMs = 5000) {
    return testsupport::runUntil(loop, done, limitMs);
  }
  // Logs in and waits for the rendezvous and its event; says whether they came.
  bool logIn(const std::string& user, const std::string& password) {
    manager->doLogin(0, user, password);
    return runUntil([&] {
      const auto* login = events.last<net::Api::LoginEvent>(net::Api::LOGIN);
      return manager->isConnected() && login && login->status == 0;
    }, 15000);
  }

  testsupport::TempDir dir;
  ScopedCwd cwd;
  p2p::UvLoop loop;
  Properties properties;
  EventLog events;
  net::Api api;
  std::unique_ptr<net::Manager> manager;
};

// Hears how connections end.
struct CloseLog : net::PeerManager::Listener {
  std::vector<std::string> reasons;
  std::vector<std::string> names;
  void onNotify(net::PeerManager*, void*) override {}
  void onClose(net::PeerManager* pm, const std::string& reason) override {
    reasons.push_back(reason);
    names.push_back(pm->handlerName());
    pm->setListener(nullptr);
  }
};

// The bytes of one frame.
inline std::vector<int8_t> frameOf(const net::Message& message) {
  ByteBuffer buffer(net::PeerManager::BUFFER_SIZE);
  message.encode(buffer);
  return std::vector<int8_t>(buffer.array(), buffer.array() + buffer.position());
}

}  // namespace enginetest
