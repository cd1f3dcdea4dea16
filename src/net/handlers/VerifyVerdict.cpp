#include "net/handlers/VerifyVerdict.h"

#include "utils/Utils.h"

namespace net {

VerifyVerdict serverVerdict(int status, const std::string& error) {
  if (status == 200 && error.empty()) return VerifyVerdict::Confirmed;
  if (status >= 300 && status < 500) return VerifyVerdict::Refused;
  return VerifyVerdict::Unreachable;
}

VerifyVerdict verifyVerdict(const p2p::Server::ServerResponse<bool>& answer) {
  return serverVerdict(answer.status, answer.error);
}

std::string serverFailure(int status, const std::string& error) {
  if (serverVerdict(status, error) != VerifyVerdict::Unreachable) return "";
  // The text goes to the peer and into logs: a server's error page must not come along whole.
  const std::string what = Utils::printable(error.empty() ? "HTTP " + std::to_string(status) : error, 160);
  return (status < 100 ? "web server unreachable: " : "web server failed: ") + what;
}

std::string verifyFailure(const p2p::Server::ServerResponse<bool>& answer) {
  return serverFailure(answer.status, answer.error);
}

}  // namespace net
