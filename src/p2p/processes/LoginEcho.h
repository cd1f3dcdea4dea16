// Keeps this computer known to the rendezvous server: a web login that yields a challenge,
// then a clientEcho to the server's UDP address at a steady rhythm. Each serverEcho says whether
// the echo's key was accepted and gives the challenge for the next key. The login state goes to
// one listener, and only when it changes.
//
// Rhythm: while OK an echo every 20 s; while the key is refused every 10 s; one extra echo 1 s
// after a change of state; after 61 s without any serverEcho the state is ERROR and the web
// login is repeated about every 2 s (one at a time) until a keyed echo is answered again.
//
// Time is the loop's clock (UvLoop::now), so a test clock drives every deadline; the timer only
// looks at it once a second.
//
// Lifetime (the rule of p2p/uv/UvLoop.h): an owner that wants this object gone from inside
// handleLoginStatus hands it to deleteSoon(), and it is deleted on a later loop turn, never
// inside the call that is still using it. A web login still in flight at deletion is cancelled.
// The router and the Server must outlive this object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/ServerEcho.h"
#include "p2p/processes/Server.h"
#include "p2p/processes/SocketAddress.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvTimer.h"

namespace p2p {

class LoginEcho : public UdpRouter::Cb, public UvTimer::Cb, public Server::ServerCb<long long> {
 public:
  enum ResponseStatus : int32_t {
    OK = 0,
    ERROR = 1,            // the server is silent
    BAD_REQUEST = 2,
    NOT_FOUND = 3,        // a web login is under way
    NOT_AUTHORIZED = 4,   // the key was refused, or no login yet
    CONFLICT = 5,
    CREATED = 6,
  };

  class Cb {
   public:
    virtual ~Cb() = default;
    // `reason`: empty for OK, "not authorized" or "server timeout" otherwise.
    virtual void handleLoginStatus(ResponseStatus status, const std::string& reason) = 0;
  };

  static const int32_t SERVER_ECHO_TIMEOUT = 61000;
  static const int32_t SERVER_ECHO_PERIOD = 20000;

  // Registers with the router (last in its list) and starts the once-a-second timer.
  LoginEcho(Server* server, UdpRouter* router, Cb* cb);
  ~LoginEcho() override;
  LoginEcho(const LoginEcho&) = delete;
  LoginEcho& operator=(const LoginEcho&) = delete;

  // (Re)starts the login with this account. Without a user key or uuid no login starts and the
  // keep-alive rests (state NOT_AUTHORIZED); nothing is thrown. A login still in flight is
  // answered first and its answer thrown away, so at most one is ever in flight.
  void doLogin(const std::string& uuid, const std::string& userName, const std::string& userkey,
               const std::string& computer, int32_t tcpPort);

  // Takes every serverEcho; only those that come straight from the server's UDP address count.
  bool handleRouter(Message* msg, const SocketAddress& from) override;
  void handleTimer() override;
  // The answer to the web login in flight.
  void handleServerResponse(const Server::ServerResponse<long long>& r) override;

  // This computer's address as the server last reported it.
  std::string getMyRemoteIp() const { return myRemoteIp; }

 private:
  bool hasAccount() const;
  void startLogin(bool keyRequired);
  void sendEcho();
  void receiveServerEcho(const ServerEcho& echo);
  void changeStatus(ResponseStatus status, const std::string& reason);
  bool fromServer(const SocketAddress& from) const;
  std::string echoKey(int64_t forChallenge) const;

  UdpRouter* router;
  std::unique_ptr<UvTimer> timer;
  Server* server;
  Cb* cb;
  ClientEcho clientEcho;
  std::string userkey;
  int64_t challenge = 0;
  std::string challengeKey;
  uint64_t nextServerEchoTime = 0;
  uint64_t recvServerEchoTime = 0;
  ResponseStatus serverStatus = NOT_AUTHORIZED;
  std::string myRemoteIp;

  UvLoop* loop;
  bool loginInFlight = false;
  bool loginKeyed = false;    // the login in flight carries the key
  bool loginRestart = false;  // the account changed while a login was in flight
  // The server relays datagrams for peers that cannot reach each other: its Proxy prefixes are
  // to be believed.
  UdpRouter::RelayRef serverRelay;
};

}  // namespace p2p
