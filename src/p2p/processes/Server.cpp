#include "p2p/processes/Server.h"

#include <stdexcept>

#include "p2p/uv/UvLog.h"

namespace p2p {

Server::Server(std::string host, int udpPort, UvLoop* loop, std::string caFile)
    : Resident(loop), _host(std::move(host)), _udpPort(udpPort) {
  _settings.caFile = std::move(caFile);
}

Server::~Server() { cancelCalls(); }

void Server::onLoopClosing() { cancelCalls(); }

void Server::cancelCalls() {
  // Deleting a call deletes its HttpRequest, which detaches and aborts the transfer.
  for (Call* call : _calls) delete call;
  _calls.clear();
}

void Server::setTimeouts(long connectTimeoutMs, long totalTimeoutMs) {
  _settings.connectTimeoutMs = connectTimeoutMs;
  _settings.totalTimeoutMs = totalTimeoutMs;
}

void Server::start(std::unique_ptr<Call> call, const std::string& path) {
  UvLoop* loop = residentLoop();
  if (!loop) throw std::runtime_error("Server: the loop is gone");
  call->httpRequest = std::make_unique<HttpRequest>(_host + path, loop, _settings);
  Call* started = call.get();
  _calls.insert(call.release());
  try {
    started->httpRequest->exec(started);
  } catch (...) {
    _calls.erase(started);
    delete started;
    throw;
  }
}

void Server::Call::handleResponse(int status, const std::string& error, const std::string& body) {
  std::unique_ptr<Call> self(this);
  Server* server = _server;
  server->_calls.erase(this);
  std::weak_ptr<int> alive = server->_alive;
  // The callback runs first: during the first answer it still sees no learnt address.
  deliver(status, error, body);
  if (alive.expired()) return;  // the callback deleted the Server
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
