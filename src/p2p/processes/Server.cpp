#include "p2p/processes/Server.h"

#include <curl/curl.h>

#include <algorithm>
#include <stdexcept>

#include "p2p/uv/UvLog.h"

namespace p2p {

namespace {

size_t laneWidthOf(unsigned poolThreads) { return std::max<size_t>(1, poolThreads / 2); }

}  // namespace

Server::Server(std::string host, int udpPort, UvLoop* loop, std::string caFile)
    : Resident(loop), _host(std::move(host)), _udpPort(udpPort), _laneWidth(laneWidthOf(UvLoop::threadPoolSize())) {
  _settings.caFile = std::move(caFile);
  _settings.connections = std::make_shared<HttpRequest::Connections>();
}

Server::~Server() { cancelCalls(); }

void Server::onLoopClosing() { cancelCalls(); }

void Server::cancelCalls() {
  // Deleting a started call deletes its HttpRequest, which detaches and aborts the transfer.
  for (Call* call : _calls) delete call;
  _calls.clear();
  for (Call* call : _waiting) delete call;
  _waiting.clear();
}

void Server::setTimeouts(long connectTimeoutMs, long totalTimeoutMs) {
  _settings.connectTimeoutMs = connectTimeoutMs;
  _settings.totalTimeoutMs = totalTimeoutMs;
}

// ---- calls and their lanes ----

Server::PendingCalls::~PendingCalls() {
  // A copy first: cancelling may end the callback of another call, which changes nothing here.
  std::vector<Liveness::Ref<Call>> calls;
  calls.swap(_calls);
  for (const Liveness::Ref<Call>& ref : calls) {
    if (Call* call = ref.get()) call->cancel();
  }
}

void Server::PendingCalls::add(Call* call) {
  _calls.erase(std::remove_if(_calls.begin(), _calls.end(), [](const Liveness::Ref<Call>& ref) { return !ref; }),
               _calls.end());
  _calls.emplace_back(call, call->liveness);
}

void Server::submit(std::unique_ptr<Call> call, PendingCalls& pending) {
  if (!residentLoop()) throw std::runtime_error("Server: the loop is gone");
  if (call->limited && _laneBusy >= _laneWidth) {
    pending.add(call.get());
    _waiting.push_back(call.release());
    return;
  }
  start(call.get());
  pending.add(call.release());
}

// Throws, leaving the call to the caller, when the transfer cannot start.
void Server::start(Call* call) {
  UvLoop* loop = residentLoop();
  if (!loop) throw std::runtime_error("Server: the loop is gone");
  call->httpRequest = std::make_unique<HttpRequest>(call->url, loop, _settings);
  if (call->limited) {
    // Counted until the pool thread lets go, which an aborted transfer does a little later.
    call->httpRequest->whenPoolReleased([server = Liveness::Ref<Server>(this, _liveness)] {
      if (Server* alive = server.get()) alive->laneReleased();
    });
  }
  _calls.insert(call);
  try {
    call->httpRequest->exec(call);
  } catch (...) {
    _calls.erase(call);
    throw;
  }
  if (call->limited) ++_laneBusy;
}

void Server::laneReleased() {
  if (_laneBusy > 0) --_laneBusy;
  const Liveness::Watch alive = _liveness.watch();
  while (alive.alive() && _laneBusy < _laneWidth && !_waiting.empty()) {
    std::unique_ptr<Call> next(_waiting.front());
    _waiting.pop_front();
    try {
      start(next.get());
      next.release();
    } catch (const std::exception& e) {
      // Its caller has long returned: the failure is its answer.
      next.release()->handleResponse(CURLE_FAILED_INIT, e.what(), std::string());
    }
  }
}

void Server::cancel(Call* call) {
  if (_calls.erase(call) == 0) {
    auto waiting = std::find(_waiting.begin(), _waiting.end(), call);
    if (waiting == _waiting.end()) return;  // answered, or already ending
    _waiting.erase(waiting);
  }
  delete call;
}

void Server::Call::handleResponse(int status, const std::string& error, const std::string& body) {
  std::unique_ptr<Call> self = owned();
  Server* server = _server.get();
  server->_calls.erase(this);
  if (httpRequest) server->_connectionsOpened += httpRequest->connectsMade();
  const Liveness::Watch alive = server->_liveness.watch();
  // The callback runs first: during the first answer it still sees no learnt address.
  deliver(status, error, body);
  if (!alive.alive() || !httpRequest) return;  // the callback deleted the Server
  server->learnAddresses(*httpRequest);
}

void Server::learnAddresses(const HttpRequest& request) {
  const std::string& remoteIp = request.remoteIp();
  if (!remoteIp.empty() && remoteIp != _remoteIp) {
    try {
      _udpAddr.setAddress(remoteIp, _udpPort);
      _remoteIp = remoteIp;
      UV_LOG("1") << "server ip " << remoteIp;
    } catch (const std::exception& e) {
      UV_LOG("WARN") << "server ip " << remoteIp << " not usable: " << e.what();
    }
  }
  const std::string& localIp = request.localIp();
  if (!localIp.empty() && localIp != _localIp) {
    _localIp = localIp;
    UV_LOG("1") << "local ip " << localIp;
  }
}

std::string Server::failureText(int status, const std::string& error, const std::string& body) {
  if (status < 100) return error.empty() ? "transfer failed with code " + std::to_string(status) : error;
  switch (status) {
    case 401:
    case 403:
      return "Authentication error";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    case 423:
      return "Locked";
    default:
      return body.empty() ? "HTTP " + std::to_string(status) : body;
  }
}

long long Server::parseDecimal(const std::string& body) {
  try {
    return std::stoll(body, nullptr, 10);
  } catch (const std::invalid_argument&) {
    throw std::runtime_error("not a decimal number");
  } catch (const std::out_of_range&) {
    throw std::runtime_error("number out of range");
  }
}

std::string Server::badResponseText(const char* what) {
  std::string reason = what ? what : "";
  return "bad response: " + (reason.empty() ? std::string("unreadable body") : reason);
}

}  // namespace p2p
