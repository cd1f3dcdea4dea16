#include "p2p/processes/LoginEcho.h"

#include <arpa/inet.h>

#include "p2p/requests/Login.h"
#include "p2p/uv/UvLog.h"
#include "utils/Sha1.h"

namespace p2p {

namespace {

constexpr int TIMER_PERIOD = 1000;
constexpr uint64_t FIRST_ECHO_DELAY = 2000;  // after a web login starts
constexpr uint64_t CHANGE_ECHO_DELAY = 1000;
constexpr uint64_t REFUSED_ECHO_PERIOD = 10000;
constexpr uint64_t RELOGIN_PERIOD = 2000;

// The server's word on our address is kept only when it reads as an address.
bool isIpText(const std::string& text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  unsigned char scratch[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), scratch) == 1 || inet_pton(AF_INET6, text.c_str(), scratch) == 1;
}

}  // namespace

LoginEcho::LoginEcho(Server* server, UdpRouter* router, Cb* cb)
    : router(router), timer(std::make_unique<UvTimer>(router->getLoop())), server(server), cb(cb),
      loop(router->getLoop()) {
  recvServerEchoTime = loop->now();
  timer->start(TIMER_PERIOD, TIMER_PERIOD, this);
  router->addListener(this);
}

LoginEcho::~LoginEcho() { router->removeListener(this); }

void LoginEcho::doLogin(const std::string& uuid, const std::string& userName, const std::string& userkey,
                        const std::string& computer, int32_t tcpPort) {
  this->userkey = userkey;
  challenge = 0;
  // An answer to an echo of the previous account must not count for this one.
  challengeKey.clear();
  clientEcho.uuid = uuid;
  clientEcho.userName = userName;
  clientEcho.computer = computer;
  clientEcho.tcpPort = tcpPort;
  // Likewise the answer to a login still in flight: it is thrown away and the new login
  // follows it, so that never more than one is in flight.
  loginRestart = loginInFlight;
  if (!hasAccount()) {
    UV_LOG("ERROR") << "login echo: no user key or computer identity, not logging in";
    changeStatus(NOT_AUTHORIZED, "not authorized");
    return;
  }
  nextServerEchoTime = loop->now() + FIRST_ECHO_DELAY;
  // The server has not been asked yet: time without an account is no server time-out.
  recvServerEchoTime = loop->now();
  serverStatus = NOT_FOUND;
  if (!loginInFlight) startLogin(false);
}

bool LoginEcho::hasAccount() const { return !userkey.empty() && !clientEcho.uuid.empty(); }

void LoginEcho::startLogin(bool keyRequired) {
  server->exec<long long>(new LoginRequest(clientEcho.uuid, clientEcho.userName, userkey, "", keyRequired), this);
  loginInFlight = true;
  loginKeyed = keyRequired;
}

void LoginEcho::handleServerResponse(const Server::ServerResponse<long long>& r) {
  loginInFlight = false;
  if (loginRestart) {
    loginRestart = false;
    if (hasAccount()) startLogin(false);
    return;
  }
  if (r.isOk()) {
    UV_LOG("INFO") << "login ok ";
    challenge = r.response;
    sendEcho();
  } else if (r.error == "Locked" && !loginKeyed) {
    UV_LOG("INFO") << "login key required " << r.status << " " << r.error;
    startLogin(true);
  } else {
    // Also a keyed login refused as "Locked": asking again would only loop.
    UV_LOG("ERROR") << "login echo error " << r.status << " " << r.error;
  }
}

void LoginEcho::handleTimer() {
  // Without an account there is nothing to keep alive.
  if (!hasAccount()) return;
  const uint64_t now = loop->now();
  if (now > recvServerEchoTime + SERVER_ECHO_TIMEOUT && serverStatus != ERROR) {
    nextServerEchoTime = now + CHANGE_ECHO_DELAY;
    changeStatus(ERROR, "server timeout");
  }
  if (now <= nextServerEchoTime) return;
  if (serverStatus == ERROR) {
    // A successful login sends the echo itself.
    nextServerEchoTime = now + RELOGIN_PERIOD;
    if (!loginInFlight) startLogin(false);
  } else {
    nextServerEchoTime = now + SERVER_ECHO_PERIOD;
    // An echo without a key while the login that brings one is in flight would be answered
    // "not authorized" just after the login succeeds.
    if (challenge == 0 && loginInFlight) return;
    sendEcho();
  }
}

void LoginEcho::sendEcho() {
  const SocketAddress to = server->getUdpAddr();
  if (!to.isValid()) return;
  if (!serverRelay.relay().sameEndpoint(to)) serverRelay = UdpRouter::RelayRef(router, to);
  clientEcho.internalIp = server->getLocalIp();
  clientEcho.udpPort = router->getUdp()->getPort();
  if (challenge != 0) {
    challengeKey = echoKey(challenge);
  } else {
    challengeKey.clear();
  }
  clientEcho.key = challengeKey;
  UV_LOG("2") << "send " << clientEcho;
  router->send(&clientEcho, to);
}

bool LoginEcho::handleRouter(Message* msg, const SocketAddress& from) {
  if (msg->getOpcode() != Message::serverEcho) return false;
  // Anyone can send a serverEcho; only the server's own may change the login state.
  if (!fromServer(from)) {
    UV_LOG("1") << "serverEcho from " << from << " is not the server's, dropped";
    return true;
  }
  receiveServerEcho(*static_cast<ServerEcho*>(msg));
  return true;
}

bool LoginEcho::fromServer(const SocketAddress& from) const {
  return !from.hasProxy() && from.sameEndpoint(server->getUdpAddr());
}

void LoginEcho::receiveServerEcho(const ServerEcho& echo) {
  UV_LOG("2") << "receive " << echo;
  const uint64_t now = loop->now();
  recvServerEchoTime = now;
  const ResponseStatus status = echo.code != 0 ? OK : NOT_AUTHORIZED;
  challenge = echo.challenge;
  if (status != serverStatus) {
    nextServerEchoTime = now + CHANGE_ECHO_DELAY;
  } else if (status != OK) {
    nextServerEchoTime = now + REFUSED_ECHO_PERIOD;
  }
  // The answer to an echo without a key says nothing about the login.
  if (challengeKey.empty()) return;
  if (isIpText(echo.remoteIp)) {
    myRemoteIp = echo.remoteIp;
  } else {
    UV_LOG("WARN") << "serverEcho: remote address is not an IP address, ignored";
  }
  changeStatus(status, status == OK ? "" : "not authorized");
}

void LoginEcho::changeStatus(ResponseStatus status, const std::string& reason) {
  if (status == serverStatus) return;
  serverStatus = status;
  // Last: the listener may call back in (doLogin) and finds the state already settled.
  cb->handleLoginStatus(status, reason);
}

std::string LoginEcho::echoKey(int64_t forChallenge) const {
  std::string key;
  Sha1::getInstance().makeEncodedDigest(std::to_string(forChallenge) + userkey, key);
  return key;
}

}  // namespace p2p
